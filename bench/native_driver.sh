#!/usr/bin/env bash
# Builds the core (Release) and one C++ driver under bench/, then runs it from
# the repository root with the remaining arguments:
#   bash bench/native_driver.sh build_driver [args...]
#   bash bench/native_driver.sh search_driver [args...]
# The machine's OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE are unset for this run,
# as they slow current OpenBLAS builds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
driver="$1"
shift
out="$root/build/bench"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j2 --target velnor_core >/dev/null
blas_lib="$(python3 -c 'import scipy_openblas32 as s; print(s.get_lib_dir())')"
blas_inc="$(python3 -c 'import scipy_openblas32 as s; print(s.get_include_dir())')"
g++ -std=c++20 -O3 -ffp-contract=off -pthread -I"$root" -I"$blas_inc" \
  "$root/bench/$driver.cpp" "$out/libvelnor_core.a" \
  -L"$blas_lib" -lscipy_openblas -Wl,-rpath,"$blas_lib" -o "$out/$driver"
unset OPENBLAS_CORETYPE OPENBLAS_L2_SIZE
cd "$root"
exec "$out/$driver" "$@"
