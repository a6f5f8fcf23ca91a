# road_bench: a receipt through the whole road against the floor the wire
# framing sets for it. Figures: tools/bench/run-road-bench.sh [build dir].
if(TARGET kerunel_bench_support)
  kerunel_road_bench(road_bench)
  # Smoke run only: one short receipt per driver, no time limits.
  add_test(NAME road_bench_smoke COMMAND road_bench --receipts 1 --items 2)
endif()
