#!/bin/bash
# Saves a screenshot of every tab of the window, taken on a virtual display.
# Usage: scripts/screenshots.sh [OUTPUT_DIR] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-screenshots}
build=${2:-build}
mkdir -p "$out"
cmake --build "$build" --target zq_screenshots -j4 >/dev/null
xvfb-run -a -s "-screen 0 1600x1000x24" "$build/zq_screenshots" "$out"
