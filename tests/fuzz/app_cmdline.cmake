# Application: the command line as the program receives it.
corvina_fuzz(fuzz_cmdline SOURCES ${CMAKE_CURRENT_LIST_DIR}/cmdline_fuzz.cpp DEPS corvina_app)
