corvina_bench(bench_acquisition SOURCES ${CMAKE_CURRENT_LIST_DIR}/acquisition_bench.cpp
  DEPS corvina_acquisition corvina_sim)
