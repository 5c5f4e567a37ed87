# Network: HTTP responses fed in random pieces, and the update list with its download addresses
# and the list address from the settings.
corvina_fuzz(fuzz_http_response SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_response_fuzz.cpp DEPS corvina_net)
corvina_fuzz(fuzz_update_list SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_list_fuzz.cpp DEPS corvina_net)
