#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: once in a
# normal build (build/), from which it also makes and checks the Debian
# package, and once under AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/), and the threaded parts under ThreadSanitizer (build-tsan/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"

# Every option this command relies on is given, so that a build directory
# configured otherwise before (by hand, or an older script) cannot switch the
# tests off; and a run that finds no test fails.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESPER_WERROR=ON \
  -DVESPER_TESTS=ON -DVESPER_BENCH=ON -DVESPER_SANITIZE=OFF
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure --no-tests=error -j"$jobs")

# The Debian package, made from the build above, and checked unpacked.
deb="$(bash scripts/package.sh --build-dir=build --out=build/package)"
bash scripts/check-package.sh "$deb"

# -O1 keeps the sanitizer run of the pin-level bus simulation within bounds.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DVESPER_WERROR=ON -DVESPER_SANITIZE=ON -DVESPER_TESTS=ON -DVESPER_BENCH=OFF
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
(cd build-asan && ctest --output-on-failure --no-tests=error -j"$jobs")

# The threaded parts (the libftdi backend and the virtual USB board) and
# their tests under ThreadSanitizer.
bash scripts/test-tsan.sh
