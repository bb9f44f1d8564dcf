#!/usr/bin/env bash
# Runs the blob image loader's libFuzzer target for longer than the test
# command does: bench/fuzz_blob_image.sh [seconds, default 3600] [jobs, default 1].
# Crash inputs (crash-*, leak-*, oom-*) and the job logs land in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
workers=${2:-1}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVALE_BUILD_FUZZ=ON >/dev/null
cmake --build build/fuzz --target fuzz_blob_image
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALE_BUILD_TESTS=ON >/dev/null
cmake --build build/plain --target engine_tests
mkdir -p build/fuzz/corpus
CORVALE_FUZZ_CORPUS=build/fuzz/corpus build/plain/tests/engine/engine_tests \
  --gtest_filter=BlobImage.WriteFuzzCorpus >/dev/null
# With several jobs libFuzzer writes fuzz-<n>.log into the working directory.
cd build/fuzz
exec tests/fuzz/fuzz_blob_image -max_total_time="$seconds" -rss_limit_mb=4096 \
  -jobs="$workers" -workers="$workers" -artifact_prefix=./ corpus
