# Record files: reading, opening, seeking, isoline-corrected reading, recording and peak memory
# on a generated 24-hour record, each against a baseline in the same executable.
corvina_bench(bench_storage SOURCES ${CMAKE_CURRENT_LIST_DIR}/storage_bench.cpp DEPS corvina_storage)
