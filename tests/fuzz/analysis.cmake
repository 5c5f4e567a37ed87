# Analyses: a diagnosis database file (*.ddb, from the program folder, the user's folder or an
# import) loaded and matched.
corvina_fuzz(fuzz_ddb SOURCES ${CMAKE_CURRENT_LIST_DIR}/ddb_fuzz.cpp DEPS corvina_analysis)
