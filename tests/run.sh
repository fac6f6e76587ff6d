#!/usr/bin/env bash
# Installs everything the tests need, then runs every test: the C++ suite
# (plain, then under AddressSanitizer + UndefinedBehaviorSanitizer) and the
# Python suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz ] || missing+=(dataset-fashion-mnist)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check ".[test]"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

build_cpp_suite() {  # build dir, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" "${generator[@]}" -DVELNOR_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j2
}

build_cpp_suite build/tests
ctest --test-dir build/tests --output-on-failure -j2

build_cpp_suite build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_SANITIZE=address,undefined
ctest --test-dir build/asan --output-on-failure -j2

# The concurrent HNSW build and concurrent queries on one index under
# ThreadSanitizer. libgomp is not instrumented; the suppression covers only the
# block of shared variables a parallel region reads from its starting thread's
# stack.
build_cpp_suite build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_SANITIZE=thread
TSAN_OPTIONS="suppressions=$PWD/tests/cpp/tsan.supp halt_on_error=1" \
  ./build/tsan/velnor_tests --gtest_filter='HnswBuild.*:FashionSlice.ConcurrentQueriesOnOneIndex'

python3 -m pytest tests/python bench/test_helpers.py -q
