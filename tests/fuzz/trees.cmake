# Core library: tree files (settings, diagnosis databases) and tree images from outside.
corvina_fuzz(fuzz_treefile SOURCES ${CMAKE_CURRENT_LIST_DIR}/treefile_fuzz.cpp DEPS corvina_core)
