#!/usr/bin/env bash
# One entry point for set-up, build, demo and tests on a fresh Debian 12 machine.
#   ./build.sh demo    install what is missing, build, merge the example files
#   ./build.sh test    install what is missing (the browser and the JUnit
#                      readers too), build, run every test, also under the
#                      sanitizers (ZV_SKIP_SANITIZE=1 skips that, except
#                      under CI, where CI is set)
#   ./build.sh build   install what is missing and build only
#   ./build.sh bench-setup  install what is missing for the benchmark
#                      scripts (they build their own release binaries)
#   ./build.sh browser install Debian's chromium (the page test needs it)
#   ./build.sh junit-readers  install xmllint and junitparser (the JUnit
#                      reader test needs them)
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgtest-dev)
# What the page test and the JUnit reader test run.
BROWSER_PACKAGES=(chromium chromium-driver python3-selenium)
JUNIT_READER_PACKAGES=(libxml2-utils python3-junitparser)
# What the benchmark scripts time and compute with.
BENCH_PACKAGES=(time bc)

install_packages() {
    local missing=()
    for package in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        # Two tests may install at once (browser, JUnit readers): wait for the lock.
        $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
    fi
}

configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
}

run_demo() {
    configure_and_build "$BUILD_DIR"
    examples/run-demo.sh "$BUILD_DIR/stage"
}

run_tests() {
    configure_and_build "$BUILD_DIR"
    ctest --test-dir "$BUILD_DIR" --output-on-failure -j2
    # The same suite again under AddressSanitizer, UndefinedBehaviorSanitizer
    # and LeakSanitizer (ZV_SKIP_SANITIZE=1 skips it for a quick local run,
    # never under CI).
    if [ -n "${CI:-}" ] && [ "${ZV_SKIP_SANITIZE:-0}" = 1 ]; then
        echo "CI is set: ZV_SKIP_SANITIZE is ignored"
    fi
    if [ -n "${CI:-}" ] || [ "${ZV_SKIP_SANITIZE:-0}" != 1 ]; then
        configure_and_build "$BUILD_DIR-asan" -DZV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            ctest --test-dir "$BUILD_DIR-asan" --output-on-failure -j2
    fi
}

case "${1:-}" in
    demo) install_packages; run_demo ;;
    test) install_packages "${BROWSER_PACKAGES[@]}" "${JUNIT_READER_PACKAGES[@]}"; run_tests ;;
    build) install_packages; configure_and_build "$BUILD_DIR" ;;
    bench-setup) install_packages "${BENCH_PACKAGES[@]}" ;;
    browser) install_packages "${BROWSER_PACKAGES[@]}" ;;
    junit-readers) install_packages "${JUNIT_READER_PACKAGES[@]}" ;;
    *) echo "usage: $0 demo|test|build|bench-setup|browser|junit-readers" >&2; exit 2 ;;
esac
