# Text import: foreign text files of numbers, parsed and turned into records.
corvina_fuzz(fuzz_textimport SOURCES ${CMAKE_CURRENT_LIST_DIR}/textimport_fuzz.cpp DEPS corvina_app)
