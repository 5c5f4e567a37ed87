# Device link: the report descriptor read from the device's hidraw node, and packets as the reader
# and the decoder's serial and status rules see them.
if(TARGET corvina_device_hidapi)
  # Only the descriptor reader's object is linked, so no hid_* library is needed.
  corvina_fuzz(fuzz_hid_descriptor SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hid_descriptor_fuzz.cpp
               DEPS corvina_device_hidapi)
endif()
corvina_fuzz(fuzz_device_packets SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/device_packets_fuzz.cpp DEPS corvina_device)
