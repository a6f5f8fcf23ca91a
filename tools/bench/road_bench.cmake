# road_bench: a receipt through the whole road against the floor the wire
# framing sets for it. Figures: tools/bench/run-road-bench.sh [build dir].
if(KERUNEL_ARCH STREQUAL "x64" AND TARGET KerunelSO AND TARGET Mirevon
   AND EXISTS ${PROJECT_SOURCE_DIR}/ecrsim/CMakeLists.txt)
  add_executable(road_bench ${CMAKE_CURRENT_LIST_DIR}/road_bench.cpp)
  target_link_libraries(road_bench PRIVATE kerunel_client ecrsim kerunel_common)
  target_include_directories(road_bench PRIVATE ${PROJECT_SOURCE_DIR}/service)
  # It loads the control, the Service Object and the drivers from its own directory.
  add_dependencies(road_bench Kerunel KerunelSO Sandoral Mirevon)
  # Smoke run only: one short receipt per driver, no time limits.
  add_test(NAME road_bench_smoke COMMAND road_bench --receipts 1 --items 2)
endif()
