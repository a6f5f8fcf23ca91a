# fault_soak: receipts through the whole road with one fault each, held
# against the fiscal memory and the journal. Figures (1,000 per driver):
# tools/bench/run-fault-soak.sh [build dir] --receipts 1000.
if(KERUNEL_ARCH STREQUAL "x64" AND TARGET KerunelSO AND TARGET Mirevon
   AND EXISTS ${PROJECT_SOURCE_DIR}/ecrsim/CMakeLists.txt)
  add_executable(fault_soak ${CMAKE_CURRENT_LIST_DIR}/fault_soak.cpp)
  target_link_libraries(fault_soak PRIVATE kerunel_client ecrsim kerunel_common)
  target_include_directories(fault_soak PRIVATE ${PROJECT_SOURCE_DIR}/service)
  # It loads the control, the Service Object and the drivers from its own directory.
  add_dependencies(fault_soak Kerunel KerunelSO Sandoral Mirevon)
  # The bounded run: about 50 faulted receipts per driver, no discrepancy allowed.
  add_test(NAME fault_soak_bounded COMMAND fault_soak --receipts 50)
  set_tests_properties(fault_soak_bounded PROPERTIES TIMEOUT 900)
endif()
