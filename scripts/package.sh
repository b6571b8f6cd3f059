#!/usr/bin/env bash
# Builds the Debian package vesperbox_<version>_amd64.deb with CPack and
# writes it to the current directory; prints its path on standard output.
#
#   scripts/package.sh [--build-dir=DIR] [--out=DIR]
#
# Without --build-dir it configures and builds build-package/ in the
# repository (a release build without tests); with it, it packages that
# build directory as configured (the test command passes its build/).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build=""
out="$PWD"
for arg in "$@"; do
  case "$arg" in
    --build-dir=*) build="$(cd "${arg#*=}" && pwd)";;
    --out=*) mkdir -p "${arg#*=}"; out="$(cd "${arg#*=}" && pwd)";;
    *) echo "package: unknown argument '$arg'; see the head of $0" >&2; exit 2;;
  esac
done

if [ -z "$build" ]; then
  build="$root/build-package"
  "$root/scripts/install-deps.sh" >&2
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVESPER_TESTS=OFF -DVESPER_BENCH=OFF -DVESPER_WERROR=OFF -DVESPER_SANITIZE=OFF >&2
fi
if grep -q '^VESPER_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "package: $build is a sanitizer build; package a normal one" >&2
  exit 2
fi
# What the install rules take: the program, the virtual board, the pages.
cmake --build "$build" --target vesperbox vesper_vusb vesper_docs -j"$(nproc)" >&2

# CPack's working files stay in the build directory; only the .deb moves.
staging="$build/cpack"
rm -f "$staging"/vesperbox_*.deb
(cd "$build" && cpack -G DEB -B "$staging" >&2)
debs=("$staging"/vesperbox_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package: cpack made no single vesperbox_*.deb in $staging" >&2
  exit 1
fi
mv -f "${debs[0]}" "$out/"
echo "$out/$(basename "${debs[0]}")"
