# cycle_bench: Open/Close cycles of an application, heap, handles and
# threads per thousand. Figures: tools/bench/run-cycle-bench.sh [build dir].
if(TARGET kerunel_bench_support)
  kerunel_road_bench(cycle_bench)
  # Smoke run only: a few cycles, no figures judged.
  add_test(NAME cycle_bench_smoke COMMAND cycle_bench --cycles 4 --every 2)
endif()
