# sim_bench: ecrsim.exe over thousands of receipts, its memory and idle CPU.
# Figures: tools/bench/run-sim-bench.sh [build dir].
if(KERUNEL_ARCH STREQUAL "x64" AND TARGET ecrsim_tool)
  add_executable(sim_bench ${CMAKE_CURRENT_LIST_DIR}/sim_bench.cpp)
  target_link_libraries(sim_bench PRIVATE ecrsim kerunel_common ws2_32)
  add_dependencies(sim_bench ecrsim_tool)
  # Smoke run only: a few receipts, no figures judged.
  add_test(NAME sim_bench_smoke COMMAND sim_bench --receipts 20 --every 10 --idle 1)
endif()
