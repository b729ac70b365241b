#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, whole code base
# instrumented) and fuzzes each named target for MINUTES of wall time.
#
#   scripts/fuzz.sh MINUTES [TARGET...]     (no target: every fuzz/*.cpp)
#
# New inputs collect in build-fuzz/work/<target>/corpus, so the committed
# seeds stay small; a crash, leak or slow input lands in .../artifacts and the
# target is restarted until its time is up. Each run's final statistics go to
# .../log, and a summary line per target to build-fuzz/work/summary.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:?usage: scripts/fuzz.sh MINUTES [TARGET...]}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*.cpp; do
    n=$(basename "$f" .cpp)
    [ "$n" = replay_main ] || targets+=("$n")
  done
fi

build=build-fuzz
if [ "${VELMORA_FUZZ_NO_BUILD:-0}" != 1 ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE=ON -DVELMORA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")
fi

run_target() {
  local name=$1 work=$build/work/$1
  mkdir -p "$work/corpus" "$work/artifacts" "fuzz/corpus/$name" "fuzz/regressions/$name"
  local end=$((SECONDS + minutes * 60))
  while [ $SECONDS -lt $end ]; do
    # Binary looked up afresh each round, so a rebuild after a fix is picked up.
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
      "$build/fuzz/fuzz_$name" -max_total_time=$((end - SECONDS)) -timeout=10 -rss_limit_mb=2048 \
      -max_len=16384 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      "$work/corpus" "fuzz/corpus/$name" "fuzz/regressions/$name" >>"$work/log" 2>&1 || true
  done
  local execs cov
  execs=$(grep -h 'stat::number_of_executed_units' "$work/log" | awk '{s += $2} END {print s + 0}')
  cov=$(grep -ho 'cov: [0-9]*' "$work/log" | awk '{print $2}' | sort -n | tail -1)
  echo "$name minutes=$minutes executions=$execs coverage=${cov:-0} artifacts=$(ls "$work/artifacts" | wc -l)" \
    >>"$build/work/summary.txt"
}

for t in "${targets[@]}"; do run_target "$t" & done
wait
cat "$build/work/summary.txt"
