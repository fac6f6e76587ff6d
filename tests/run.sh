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

run_cpp_suite() {  # build dir, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" "${generator[@]}" -DVELNOR_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" --output-on-failure -j2
}

run_cpp_suite build/tests
run_cpp_suite build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_SANITIZE=address,undefined

python3 -m pytest tests/python bench/test_helpers.py -q
