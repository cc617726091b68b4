# Smoke check of the download benchmark: it runs a short download both ways
# and prints its summary line. Timing is never judged here.
add_test(NAME bench_smoke COMMAND kavro-bench --blocks 64 --runs 1)
set_tests_properties(bench_smoke PROPERTIES
    LABELS bench
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    PASS_REGULAR_EXPRESSION "bench: window path share"
    TIMEOUT 120)

# Smoke check of the scale table: two rows of a tiny image through the real
# flasher, each board a process of its own. Timing is never judged here.
add_test(NAME bench_scale_smoke COMMAND kavro-bench --scale --boards 1,2 --blocks 4 --runs 1)
set_tests_properties(bench_scale_smoke PROPERTIES
    LABELS bench
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    PASS_REGULAR_EXPRESSION "bench-scale: boards=2 "
    TIMEOUT 120)
