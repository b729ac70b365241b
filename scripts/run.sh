#!/usr/bin/env bash
# Installs what is missing, builds in Release and converts the sample pictures
# (or the files given as arguments) into one PDF.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)"

cli=build/release/src/cli/velmora-cli
if [ ! -x "$cli" ]; then
  echo "Built the libraries; the command-line converter does not exist yet."
  exit 0
fi
out=${VELMORA_OUT:-out/velmora-examples.pdf}
mkdir -p "$(dirname "$out")"
if [ $# -eq 0 ]; then
  set -- examples
fi
"$cli" "$@" -o "$out"
