#pragma once
// The node distance the HNSW graph code is written over: a function of two
// base-row indices returning an f32 that is smaller for closer rows. Two
// variants: the exact one (sq_l2 of the rows) and the quantized one (the SQ8
// code distance). Both also compute four distances from one row at once,
// bit-identical to four single calls, and can prefetch a row they will read
// (all of its cache lines).
#include <cstdint>

#include "core/dataset.hpp"
#include "core/distance.hpp"
#include "core/hnsw/sq8.hpp"
#include "core/prefetch.hpp"

namespace velnor {

struct ExactDistance {
  const Dataset& dataset;

  float operator()(std::uint64_t a, std::uint64_t b) const {
    return sq_l2(dataset.row(a), dataset.row(b), dataset.d());
  }
  void x4(std::uint64_t a, const std::uint64_t b[4], float out[4]) const {
    const float* rows[4] = {dataset.row(b[0]), dataset.row(b[1]), dataset.row(b[2]),
                            dataset.row(b[3])};
    sq_l2_x4(dataset.row(a), rows, dataset.d(), out);
  }
  void prefetch(std::uint64_t a) const {
    prefetch_bytes(dataset.row(a), dataset.d() * sizeof(float));
  }
};

struct CodeDistance {
  const Sq8& sq8;

  float operator()(std::uint64_t a, std::uint64_t b) const { return sq8.code_dist(a, b); }
  void x4(std::uint64_t a, const std::uint64_t b[4], float out[4]) const {
    sq8.code_dist_x4(a, b, out);
  }
  void prefetch(std::uint64_t a) const { prefetch_bytes(sq8.code(a), sq8.dim()); }
};

}  // namespace velnor
