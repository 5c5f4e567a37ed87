corvina_bench(bench_core SOURCES ${CMAKE_CURRENT_LIST_DIR}/core_bench.cpp DEPS corvina_core)
