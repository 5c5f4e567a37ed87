# Record files: open, read, seek and close-with-metadata on arbitrary bytes.
corvina_fuzz(fuzz_pgfiles SOURCES ${CMAKE_CURRENT_LIST_DIR}/pgfiles_fuzz.cpp DEPS corvina_storage)
