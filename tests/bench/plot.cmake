# Plot library: rendering a live-sized frame in scroll and sweep mode and the paced playback tick
# (baseline: one QPainter::drawImage of the same frame).
if(TARGET corvina_plot)
  corvina_bench(bench_plot SOURCES ${CMAKE_CURRENT_LIST_DIR}/plot_bench.cpp DEPS corvina_plot)
endif()
