# Research analyses: corvina-tool beats on a simulated 24-hour record against reading its samples,
# the standard HRV table of 100 000 beats, and corvina-tool simulate of a day.
if(TARGET corvina-tool)
  corvina_bench(bench_research SOURCES ${CMAKE_CURRENT_LIST_DIR}/research_bench.cpp DEPS corvina_app)
  if(TARGET bench_research)
    add_dependencies(bench_research corvina-tool)
    target_compile_definitions(bench_research PRIVATE CORVINA_TOOL_EXE="$<TARGET_FILE:corvina-tool>")
  endif()
endif()
