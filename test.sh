#!/bin/bash
# Installs what is missing, then builds and runs every test twice: a plain
# build with warnings as errors, and one under AddressSanitizer and
# UndefinedBehaviorSanitizer. Fails on any failing test or sanitizer finding.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
jobs=$(nproc)

run_ctest() {
  local dir=$1
  # A defined environment: what the desktop's accessibility stack or the
  # user's own settings would add must not reach the tests.
  mkdir -p "$dir/test-home/config" "$dir/test-home/runtime"
  chmod 700 "$dir/test-home/runtime"
  export LC_ALL=C.UTF-8 NO_AT_BRIDGE=1 GDK_BACKEND=x11
  export XDG_RUNTIME_DIR=$PWD/$dir/test-home/runtime XDG_CONFIG_HOME=$PWD/$dir/test-home/config
  unset LANGUAGE
  # Window tests need a display; give them a virtual one when there is none.
  local x=()
  [ -n "${DISPLAY:-}" ] || x=(xvfb-run -a -s "-screen 0 1600x1000x24")
  (cd "$dir" && "${x[@]}" ctest -j"$jobs" --no-tests=error --output-on-failure --timeout 300 -LE gui)
  if [ -n "$(cd "$dir" && ctest -N -L gui | grep -E '^ +Test +#')" ]; then
    # GTK and fontconfig keep caches until exit; leak checks would only see those.
    (cd "$dir" && ASAN_OPTIONS="${ASAN_OPTIONS}:detect_leaks=0" "${x[@]}" ctest -j"$jobs" --output-on-failure --timeout 300 -L gui)
  fi
}

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"

echo "== plain build"
cmake -S . -B build -DZQ_TESTS=ON -DZQ_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
run_ctest build

echo "== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DZQ_TESTS=ON -DZQ_WERROR=ON -DZQ_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
run_ctest build-asan
echo "== fuzz targets (clang, ASan + UBSan, 20 s each)"
./scripts/fuzz.sh 20
echo "All tests passed in both builds and no fuzz target found a fault."
