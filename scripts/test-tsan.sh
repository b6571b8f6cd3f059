#!/usr/bin/env bash
# The threaded parts under ThreadSanitizer: the libftdi backend (a reader
# thread per streamed channel), the virtual USB board (its host-controller
# thread) and their tests, the program run end to end on the virtual board
# included. Only those test programs and what they need are built, into
# build-tsan/.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# -O1 keeps the simulated chips fast enough under the sanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" -DVESPER_WERROR=ON -DVESPER_BENCH=OFF "${launcher[@]}"
programs=(test_platform test_platform_transfers test_vusb)
cmake --build build-tsan -j"$jobs" --target "${programs[@]}"

# A race fails the test that ran into it, in the test program or in the
# vesperbox it started (which inherits these options).
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
cd build-tsan
suites="$(for p in "${programs[@]}"; do ./"$p" --gtest_list_tests | grep -E '^[A-Za-z]' | grep -v '^Running main'; done |
  sed 's/\.$//' | sort -u | paste -sd'|')"
ctest --output-on-failure -j"$jobs" -R "^($suites)\."
