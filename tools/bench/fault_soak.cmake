# fault_soak: receipts through the whole road with one fault each, held
# against the fiscal memory and the journal. Figures (1,000 per driver):
# tools/bench/run-fault-soak.sh [build dir] --receipts 1000.
if(TARGET kerunel_bench_support)
  kerunel_road_bench(fault_soak)
  # The bounded run: about 50 faulted receipts per driver, no discrepancy allowed.
  add_test(NAME fault_soak_bounded COMMAND fault_soak --receipts 50)
  set_tests_properties(fault_soak_bounded PROPERTIES TIMEOUT 900)
endif()
