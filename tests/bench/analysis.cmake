# Analyses: the variability computation over short and day-long series, and diagnosis matching.
corvina_bench(bench_analysis SOURCES ${CMAKE_CURRENT_LIST_DIR}/analysis_bench.cpp DEPS corvina_analysis)
