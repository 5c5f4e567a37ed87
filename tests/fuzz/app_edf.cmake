# EDF, EDF+ and BDF files from outside: header check, annotation lists, and the import into a record.
corvina_fuzz(fuzz_edfimport SOURCES ${CMAKE_CURRENT_LIST_DIR}/edfimport_fuzz.cpp DEPS corvina_app)
