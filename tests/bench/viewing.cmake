# Record viewer: ShowAt of a 1920-pixel-wide window at random places of a generated 24-hour record,
# raw and isoline-corrected (baseline: seeking there and ReadRawSamples of the same samples).
if(TARGET corvina_plot)
  corvina_bench(bench_viewing SOURCES ${CMAKE_CURRENT_LIST_DIR}/viewing_bench.cpp DEPS corvina_viewing corvina_plot)
endif()
