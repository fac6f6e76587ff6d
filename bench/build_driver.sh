#!/usr/bin/env bash
# Builds the core (Release) and bench/build_driver, then runs the driver with
# the given arguments. The machine's OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE are
# unset for this run, as they slow current OpenBLAS builds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j2 --target velnor_core >/dev/null
blas_lib="$(python3 -c 'import scipy_openblas32 as s; print(s.get_lib_dir())')"
blas_inc="$(python3 -c 'import scipy_openblas32 as s; print(s.get_include_dir())')"
g++ -std=c++20 -O3 -ffp-contract=off -fopenmp -I"$root" -I"$blas_inc" \
  "$root/bench/build_driver.cpp" "$out/libvelnor_core.a" \
  -L"$blas_lib" -lscipy_openblas -Wl,-rpath,"$blas_lib" -o "$out/build_driver"
unset OPENBLAS_CORETYPE OPENBLAS_L2_SIZE
exec "$out/build_driver" "$@"
