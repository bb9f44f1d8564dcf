#!/usr/bin/env bash
# Installs what the tests need, builds the engine three times (plain, with
# AddressSanitizer + UndefinedBehaviorSanitizer, and with ThreadSanitizer for
# the concurrent tests), runs the engine tests under ctest, installs the
# Python package and runs pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

need_debs=()
for pkg in libgtest-dev cmake g++ clang libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_debs+=("$pkg")
done
if [ ${#need_debs[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_debs[@]}"
fi
python3 -m pip install -q pytest scikit-build-core ninja cmake

echo "== engine tests (plain build; it also builds the module as users get it, without testing hooks)"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVALE_BUILD_TESTS=ON -DCORVALE_ASSERTS=ON -DCORVALE_WERROR=ON -DCORVALE_BUILD_PYTHON=ON >/dev/null
cmake --build build/plain -j "$jobs"
ctest --test-dir build/plain -j "$jobs" --output-on-failure --timeout 600

echo "== engine tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCORVALE_BUILD_TESTS=ON -DCORVALE_SANITIZE=ON -DCORVALE_WERROR=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize -j "$jobs" --output-on-failure --timeout 600

echo "== engine tests (ThreadSanitizer; death tests fork and are left to the other builds)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVALE_BUILD_TESTS=ON -DCORVALE_ASSERTS=ON -DCORVALE_TSAN=ON -DCORVALE_WERROR=ON >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -j "$jobs" --output-on-failure --timeout 600 -E Death

echo "== fuzzing the blob image loader (libFuzzer, ASan + UBSan, about a minute)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVALE_BUILD_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz_blob_image
mkdir -p build/fuzz/corpus
CORVALE_FUZZ_CORPUS=build/fuzz/corpus build/plain/tests/engine/engine_tests \
  --gtest_filter=BlobImage.WriteFuzzCorpus >/dev/null
if ! build/fuzz/tests/fuzz/fuzz_blob_image -max_total_time=60 -rss_limit_mb=4096 \
  -artifact_prefix=build/fuzz/ build/fuzz/corpus >build/fuzz/fuzz.log 2>&1; then
  tail -n 80 build/fuzz/fuzz.log
  exit 1
fi
tail -n 2 build/fuzz/fuzz.log

echo "== python tests"
# The tests run on a module with its testing hooks (CORVALE_TEST_HOOKS=ON),
# which they then require; the plain build's module, without them, is
# checked for the names a default build must have.
python3 -m pip install -q . --config-settings=cmake.define.CORVALE_WERROR=ON \
  --config-settings=cmake.define.CORVALE_TEST_HOOKS=ON
CORVALE_REQUIRE_TEST_HOOKS=1 CORVALE_DEFAULT_MODULE="$(echo build/plain/src/python/_corvale*.so)" \
  python3 -m pytest -q tests/python
