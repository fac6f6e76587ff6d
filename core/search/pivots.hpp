#pragma once
// Where the searches of external queries start: every step-th base row (in
// the original row order) is a pivot, and each query starts from the pivots
// nearest to it by sq_l2.
#include <cstdint>
#include <span>
#include <vector>

#include "core/candidate.hpp"
#include "core/search/half_rows.hpp"

namespace velnor {

struct PivotPlan {
  std::uint64_t step;   // row distance between consecutive pivots
  std::uint64_t count;  // pivots: rows 0, step, 2*step, ... below n
  std::uint64_t seeds;  // pivots that seed each query
};

// Seeds a query starts from unless its caller asks for fewer.
constexpr std::uint64_t kMaxSeeds = 16;

// About 4*sqrt(n) pivots (never fewer than the beam width L, never more than
// about 2048 or n), and up to `seeds` seeds (at most kMaxSeeds). n = 0 has
// no pivots.
PivotPlan pivot_plan(std::uint64_t n, std::uint64_t L, std::uint64_t seeds = kMaxSeeds);

// The pivots of one plan gathered into one block: pivot p is original row
// p * step, stored as row p of `rows` with its squared norm, and searched as
// node ids[p].
struct PivotBlock {
  PivotPlan plan;
  std::uint64_t d;
  std::vector<float> rows;          // plan.count x d, the rows exactly as stored
  std::vector<float> norms;         // plan.count squared norms
  std::vector<std::uint32_t> ids;   // plan.count node ids
  HalfRows half;                    // the rows in half precision, for one query at a time
};

// Gathers the pivots of `plan` from n rows of d values and their squared
// norms, stored by node: original row i is node node_of[i] (node i itself
// when node_of is empty).
PivotBlock gather_pivots(const PivotPlan& plan, const float* rows, const float* norms,
                         std::uint64_t d, std::span<const std::uint32_t> node_of = {});

// One worker's seed finder over a pivot block. The products of a block of
// queries with all pivots come from one single-precision GEMM; a single
// query reads the half-precision pivots instead (half the memory traffic),
// or takes a GEMV where the processor cannot. From the products each query
// gets bounds on its pivot distances, and only the pivots that can still be
// among the nearest are measured with sq_l2. So the seeds are exactly the plan.seeds pivots of smallest sq_l2
// (which of several equal ones is unspecified), whatever the block holds and
// however the BLAS rounds.
class PivotSeeds {
 public:
  static constexpr std::uint64_t kBlock = 64;  // queries per GEMM

  // Room for blocks of up to max_rows queries (at most kBlock).
  explicit PivotSeeds(const PivotBlock& block, std::uint64_t max_rows = kBlock);

  // Takes up to max_rows query rows (row-major, d values each) as the block.
  void load_block(const float* queries, std::uint64_t rows);

  // The seeds of `query`, row r of the loaded block, as node ids: the
  // nearest first, the others in no particular order (all pivots in pivot
  // order when every pivot is a seed). Fails (velnor::Error) on a NaN
  // distance.
  std::span<const std::uint32_t> nearest(const float* query, std::uint64_t r);

 private:
  void nearest_exact(const float* query);
  void keep_nearest(std::vector<Candidate>& measured);
  const float* pivot_row(std::uint64_t p) const { return block_.rows.data() + p * block_.d; }

  const PivotBlock& block_;
  bool use_products_;
  bool half_products_ = false;        // the loaded products came from the half rows
  std::vector<float> dots_;           // block rows x pivots: query . pivot
  std::vector<double> lower_;         // per pivot, a lower bound of its sq_l2
  std::vector<double> upper_;         // per pivot, an upper bound of its sq_l2
  std::vector<Candidate> measured_;   // (pivot index, sq_l2) of the pivots measured
  std::vector<std::uint32_t> seeds_;
};

}  // namespace velnor
