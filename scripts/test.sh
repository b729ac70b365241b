#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal
# build and an AddressSanitizer + UndefinedBehaviorSanitizer build.
# VELMORA_TEST_BUILDS=normal (or sanitize) runs only one of them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)
builds=${VELMORA_TEST_BUILDS:-"normal sanitize"}

for kind in $builds; do
  case "$kind" in
    normal)   dir=build/test;      flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    sanitize) dir=build/sanitize;  flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DVELMORA_SANITIZE=ON) ;;
    *) echo "unknown build kind: $kind" >&2; exit 1 ;;
  esac
  echo "== $kind build =="
  cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
done
