#!/usr/bin/env bash
# Installs what the tests need, builds the engine three times (plain, with
# AddressSanitizer + UndefinedBehaviorSanitizer, and with ThreadSanitizer for
# the concurrent tests), runs the engine tests under ctest, builds them once
# more for Linux aarch64 with Debian's cross compiler and runs them under
# qemu-user, fuzzes the blob image loader, then installs the Python package
# into a virtual environment of its own (build/venv), checks that it imports
# there from the checkout's root, and runs pytest, mypy over the typed calls
# of tests/typing and stubtest from it; pytest runs once more on the plain
# build's module, a default build without the testing hooks, where a test
# may skip but not fail; it runs pytest under Python 3.12 and 3.13 too,
# where the machine has them (on the PATH or under pyenv); last, it builds
# the package again with clang and runs pytest on that build.
#
# Debian packages (apt-get, only the missing ones; root is needed then):
# libgtest-dev googletest g++ clang libclang-rt-14-dev g++-aarch64-linux-gnu
# qemu-user acl (setfacl and getfacl, for the tests of a save's ACL), and
# python3-venv and python3-dev when the Python has no ensurepip or no
# headers.
# PyPI packages (pip, into build/venv only; the system Python is never
# changed, so one that refuses pip outside a virtual environment, PEP 668,
# runs this as it is): pytest mypy numpy scikit-build-core ninja cmake
# (numpy only for the test of its boolean scalars as `inclusive`). Every
# build below runs that cmake (the module needs CMake 3.26 or later, newer
# than Debian 12's) and that ninja.
# PYTHON names the interpreter that makes the environment (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

jobs=$(nproc)
python=${PYTHON:-python3}

need_debs=()
for pkg in libgtest-dev googletest g++ clang libclang-rt-14-dev g++-aarch64-linux-gnu qemu-user acl; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_debs+=("$pkg")
done
if ! command -v "$python" >/dev/null 2>&1; then
  need_debs+=(python3 python3-venv python3-dev)
else
  "$python" -c "import ensurepip" >/dev/null 2>&1 || need_debs+=(python3-venv)
  "$python" -c "import os, sysconfig
raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_path('include'), 'Python.h')))" ||
    need_debs+=(python3-dev)
fi
if [ ${#need_debs[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test-all.sh: missing Debian packages: ${need_debs[*]}" >&2
    echo "run it as root, or install them first: sudo apt-get install ${need_debs[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_debs[@]}"
fi

echo "== Python environment (build/venv)"
venv=$root/build/venv
"$python" -m venv "$venv"
py=$venv/bin/python
"$py" -m pip install -q pytest mypy numpy scikit-build-core ninja cmake
export PATH="$venv/bin:$PATH"  # its cmake and ninja build everything below

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

echo "== engine tests (Linux aarch64: cross-built, run under qemu-user)"
# GoogleTest is built for the target from Debian's sources of it, into a
# prefix that the engine's build is pointed at; ctest runs every test through
# qemu-aarch64 (cmake/aarch64-linux-gnu.cmake), and the death tests fork
# their child there instead of executing the binary again (test_verify.cpp).
# The engine is optimised as the package is (Release), with its assertions.
# No core files: qemu would write one for every death test.
cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=Release)
cmake -S /usr/src/googletest -B build/aarch64-gtest "${cross[@]}" -DBUILD_GMOCK=OFF \
  -DCMAKE_INSTALL_PREFIX="$root/build/aarch64-gtest/install" >/dev/null
cmake --build build/aarch64-gtest -j "$jobs"
cmake --install build/aarch64-gtest >/dev/null
cmake -S . -B build/aarch64 "${cross[@]}" -DCORVALE_BUILD_TESTS=ON -DCORVALE_ASSERTS=ON -DCORVALE_WERROR=ON \
  -DGTest_DIR="$root/build/aarch64-gtest/install/lib/cmake/GTest" >/dev/null
cmake --build build/aarch64 -j "$jobs"
if ! ctest --test-dir build/aarch64 -N -V | grep '^[0-9]*: Test command: [^ ]*qemu-aarch64 ' >/dev/null; then
  echo "scripts/test-all.sh: the aarch64 tests would not run under qemu-aarch64" >&2
  exit 1
fi
(
  ulimit -c 0
  ctest --test-dir build/aarch64 -j "$jobs" --output-on-failure --timeout 600
)

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

echo "== python tests (the package built by g++)"
# The package, built by the environment's scikit-build-core, cmake and ninja,
# with its testing hooks (CORVALE_TEST_HOOKS=ON), which the tests then
# require; the plain build's module, without them, is checked for the names
# a default build must have. The package is built twice, by g++ and by
# clang, each in a build directory of its own, and the tests run on each.
# Run in the checkout's root, as the README's quick start leaves its user:
# the package's sources are in src/, so the installed package is imported.
install_package() {
  "$py" -m pip install -q --no-build-isolation "$root" --config-settings=cmake.define.CORVALE_WERROR=ON \
    --config-settings=cmake.define.CORVALE_TEST_HOOKS=ON "$@"
}
python_tests() {
  CORVALE_REQUIRE_TEST_HOOKS=1 CORVALE_DEFAULT_MODULE="$(echo build/plain/src/python/_corvale*.so)" \
    "$py" -m pytest -q tests/python
}
CC=gcc CXX=g++ install_package --config-settings=build-dir=build/wheel-gcc
"$py" -c 'import sysconfig, corvale_trie
site = sysconfig.get_path("platlib")
assert corvale_trie.__file__.startswith(site + "/"), f"corvale_trie imported from {corvale_trie.__file__}, not {site}"'
python_tests

echo "== python tests on the later Pythons this machine has (3.12, 3.13)"
# The module is built once for the stable ABI of 3.11 and later: the same
# package, copied out of the environment, is tested under each later
# interpreter found on the PATH or under pyenv, each in an environment of its
# own with pytest. A machine that has neither runs none of them.
later_pythons=0
for version in 3.12 3.13; do
  later=$(command -v "python$version" 2>/dev/null || true)
  if [ -z "$later" ] || ! "$later" -c pass >/dev/null 2>&1; then
    later=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version" 2>/dev/null | tail -n 1 || true)
  fi
  if [ -z "$later" ]; then
    echo "python$version: not on this machine"
    continue
  fi
  later_pythons=$((later_pythons + 1))
  "$later" -m venv "$root/build/venv-$version"
  "$root/build/venv-$version/bin/python" -m pip install -q pytest numpy
  rm -rf "build/package-$version"
  mkdir -p "build/package-$version"
  cp -R "$("$py" -c 'import corvale_trie, os; print(os.path.dirname(corvale_trie.__file__))')" "build/package-$version/"
  CORVALE_REQUIRE_TEST_HOOKS=1 CORVALE_DEFAULT_MODULE="$(echo build/plain/src/python/_corvale*.so)" \
    PYTHONPATH="$root/build/package-$version" "$root/build/venv-$version/bin/python" -m pytest -q -p no:cacheprovider tests/python
done
echo "later Pythons tested: $later_pythons"

echo "== python tests (a default build: the plain build's module, without testing hooks)"
# The package's sources with the plain build's module, first on the path.
# A test that calls a testing hook must carry the mark requires_test_hooks
# and skip here; under CORVALE_REQUIRE_TEST_HOOKS=0 the tests also stop
# unless the module imported has no hooks.
rm -rf build/default-package
mkdir -p build/default-package
cp -R src/corvale_trie build/default-package/
cp build/plain/src/python/_corvale*.so build/default-package/corvale_trie/
PYTHONPATH="$root/build/default-package" CORVALE_REQUIRE_TEST_HOOKS=0 "$py" -m pytest -q tests/python

echo "== type stubs (mypy --strict over tests/typing, stubtest)"
# Both check the installed package: mypy finds its stubs through py.typed,
# stubtest imports its compiled module.
"$py" -m mypy
"$py" -m mypy.stubtest corvale_trie._corvale

echo "== python tests (the package built by clang)"
CC=clang CXX=clang++ install_package --config-settings=build-dir=build/wheel-clang
if ! grep -q 'CMAKE_CXX_COMPILER_ID "Clang"' build/wheel-clang/CMakeFiles/*/CMakeCXXCompiler.cmake; then
  echo "scripts/test-all.sh: build/wheel-clang was not configured with clang" >&2
  exit 1
fi
python_tests
