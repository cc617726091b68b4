# Smoke check of the download benchmark: it runs a short download both ways
# and prints its summary line. Timing is never judged here.
add_test(NAME bench_smoke COMMAND kavro-bench --blocks 64 --runs 1)
set_tests_properties(bench_smoke PROPERTIES
    LABELS bench
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    PASS_REGULAR_EXPRESSION "bench: window path share"
    TIMEOUT 120)
