#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test.
#   scripts/test.sh            full run (main build, thread-sanitizer run, fuzz smoke run)
#   TS_QUICK=1 scripts/test.sh main build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

jobs=$(nproc)
build=${BUILD_DIR:-build}

echo "== build ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"

echo "== tests"
(cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 600)

if [ "${TS_QUICK:-0}" = 1 ]; then
  exit 0
fi

# The threaded parts of the module library again under the thread sanitizer.
tsan=${build}-tsan
echo "== thread sanitizer ($tsan)"
cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTS_SANITIZE=thread \
  -DTS_BUILD_BENCH=OFF >/dev/null
tsan_targets=()
for t in test_common test_module; do
  if [ -d "tests/${t#test_}" ] && ls "tests/${t#test_}"/*.cpp >/dev/null 2>&1; then
    tsan_targets+=("$t")
  fi
done
if [ "${#tsan_targets[@]}" -gt 0 ]; then
  cmake --build "$tsan" -j"$jobs" --target "${tsan_targets[@]}" tessarion-sim 2>/dev/null \
    || cmake --build "$tsan" -j"$jobs" --target "${tsan_targets[@]}"
  for t in "${tsan_targets[@]}"; do
    echo "-- $t under the thread sanitizer"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$tsan/bin/$t" \
      --gtest_filter="${TSAN_FILTER:-*}" --gtest_brief=1
  done
fi

# Fuzz targets: a short smoke run of each, so CI exercises them.
if ls fuzz/*/CMakeLists.txt >/dev/null 2>&1; then
  fz=${build}-fuzz
  echo "== fuzz smoke ($fz)"
  CC=clang CXX=clang++ cmake -S . -B "$fz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTS_FUZZ=ON \
    -DTS_BUILD_TESTS=OFF -DTS_BUILD_BENCH=OFF >/dev/null
  fuzz_targets=()
  for d in fuzz/*/; do fuzz_targets+=("fuzz_$(basename "$d")"); done
  cmake --build "$fz" -j"$jobs" --target "${fuzz_targets[@]}"
  bash scripts/fuzz-smoke.sh "$fz/bin" "${TS_FUZZ_SECONDS:-10}"
fi
echo "== all tests passed"
