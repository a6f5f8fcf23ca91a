# control_bench: one call through the control against the same call made
# straight on the Service Object (the test Service Object in its benchmark
# mode). Figures: tools/bench/run-control-bench.sh [build dir].
if(KERUNEL_ARCH STREQUAL "x64" AND TARGET Kerunel AND TARGET testso)
  add_executable(control_bench ${CMAKE_CURRENT_LIST_DIR}/control_bench.cpp)
  target_link_options(control_bench PRIVATE -municode)
  target_link_libraries(control_bench PRIVATE kerunel_test_support kerunel_common)
  # It loads both modules from its own directory.
  add_dependencies(control_bench testso Kerunel)
  # Smoke run only: a few calls, no time limits.
  add_test(NAME control_bench_smoke COMMAND control_bench --iterations 50 --runs 1)
endif()
