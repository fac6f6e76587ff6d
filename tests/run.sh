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

# The worker pool, the concurrent HNSW build and concurrent queries on one
# index under ThreadSanitizer.
build_cpp_suite build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_SANITIZE=thread
TSAN_OPTIONS="halt_on_error=1" ./build/tsan/velnor_tests --gtest_filter='ParallelFor.*:Pool.*:HnswBuild.*:FashionSlice.ConcurrentQueriesOnOneIndex'

# tests/python/test_fuzz_arguments.py runs a few dozen random calls per entry
# point here. A longer, freshly random run, now and then:
#   VELNOR_FUZZ_EXAMPLES=3000 python3 -m pytest tests/python/test_fuzz_arguments.py
# (VELNOR_FUZZ_LOG=FILE keeps the call being tried in FILE, to find one that
# crashed the interpreter.)
python3 -m pytest tests/python bench/test_helpers.py -q
