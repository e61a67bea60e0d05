# The sanitizers' options for every run of the sanitizer build's tests, read by scripts/test.sh
# and scripts/stress-tests.sh from the repository's top folder: the processes the tests start
# (the scan driver, the program) inherit them. Leaks fail a test, as does any undefined behaviour.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp"
