corvina_bench(bench_dsp_iso SOURCES ${CMAKE_CURRENT_LIST_DIR}/dsp_iso_bench.cpp DEPS corvina_dsp)
