#!/usr/bin/env bash
# Builds the core (Release) and bench/search_driver, then runs the driver with
# the given arguments from the repository root (its graph cache lives under
# build/bench/). The machine's OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE are unset
# for this run, as they slow current OpenBLAS builds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j2 --target velnor_core >/dev/null
blas_lib="$(python3 -c 'import scipy_openblas32 as s; print(s.get_lib_dir())')"
blas_inc="$(python3 -c 'import scipy_openblas32 as s; print(s.get_include_dir())')"
g++ -std=c++20 -O3 -ffp-contract=off -fopenmp -I"$root" -I"$blas_inc" \
  "$root/bench/search_driver.cpp" "$out/libvelnor_core.a" \
  -L"$blas_lib" -lscipy_openblas -Wl,-rpath,"$blas_lib" -o "$out/search_driver"
unset OPENBLAS_CORETYPE OPENBLAS_L2_SIZE
cd "$root"
exec "$out/search_driver" "$@"
