# Streams: MFileStream window reads against a plain pread loop with the same buffering, and
# MStream writes and reads.
corvina_bench(bench_streams SOURCES ${CMAKE_CURRENT_LIST_DIR}/streams_bench.cpp DEPS corvina_core)
