# cycle_bench: Open/Close cycles of an application, heap, handles and
# threads per thousand. Figures: tools/bench/run-cycle-bench.sh [build dir].
if(KERUNEL_ARCH STREQUAL "x64" AND TARGET KerunelSO AND TARGET Mirevon
   AND EXISTS ${PROJECT_SOURCE_DIR}/ecrsim/CMakeLists.txt)
  add_executable(cycle_bench ${CMAKE_CURRENT_LIST_DIR}/cycle_bench.cpp)
  target_link_libraries(cycle_bench PRIVATE kerunel_client kerunel_test_support ecrsim
                        kerunel_common)
  target_include_directories(cycle_bench PRIVATE ${PROJECT_SOURCE_DIR}/service)
  # It loads the control, the Service Object and the drivers from its own directory.
  add_dependencies(cycle_bench Kerunel KerunelSO Sandoral Mirevon)
  # Smoke run only: a few cycles, no figures judged.
  add_test(NAME cycle_bench_smoke COMMAND cycle_bench --cycles 4 --every 2)
endif()
