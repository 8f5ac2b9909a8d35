# Sourced by the test scripts.
fail() {
    echo "FAILED: $*"
    exit 1
}

# Under CI (CI set) a test that cannot have what it needs fails: a skip
# would let the suite pass without checking.
skip() {
    [ -z "${CI:-}" ] || fail "CI is set and nothing may be skipped: $*"
    echo "SKIPPED: $*"
    exit 77
}
