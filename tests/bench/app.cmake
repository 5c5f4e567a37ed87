# Text import against numpy.loadtxt (python3-numpy, run as a child process) and the text export of
# a 24-hour record against reading its samples.
corvina_bench(bench_app SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_bench.cpp DEPS corvina_app)
