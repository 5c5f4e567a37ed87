# Stream files (length-prefixed, optionally LZO-packed images) and compact integers.
corvina_fuzz(fuzz_streamfile SOURCES ${CMAKE_CURRENT_LIST_DIR}/streamfile_fuzz.cpp DEPS corvina_core)
corvina_fuzz(fuzz_compactint SOURCES ${CMAKE_CURRENT_LIST_DIR}/compactint_fuzz.cpp DEPS corvina_core)
