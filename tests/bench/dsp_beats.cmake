corvina_bench(bench_dsp_beats SOURCES ${CMAKE_CURRENT_LIST_DIR}/dsp_beats_bench.cpp DEPS corvina_dsp)
