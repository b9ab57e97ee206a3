#!/bin/bash
# Installs what is missing, builds, and runs the program with the given arguments.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target zorvantelquist >&2
exec ./build/zorvantelquist "$@"
