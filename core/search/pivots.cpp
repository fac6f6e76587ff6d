#include "core/search/pivots.hpp"

#include <cblas.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/blas.hpp"
#include "core/dataset.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"

namespace velnor {

namespace {

constexpr std::uint64_t kMaxPivots = 2048;

constexpr const char* kNanDistance =
    "NaN distance in a k-NN query: the query or a data row holds NaN or infinity";

bool nearer(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

}  // namespace

PivotPlan pivot_plan(std::uint64_t n, std::uint64_t L, std::uint64_t seeds) {
  VELNOR_ASSERT(seeds >= 1 && seeds <= kMaxSeeds, "pivot plan: seeds out of range");
  if (n == 0) return {1, 0, 0};
  const auto root_bound = static_cast<std::uint64_t>(4.0 * std::sqrt(static_cast<double>(n)));
  const std::uint64_t wanted = std::min(std::max(root_bound, L), n);
  const std::uint64_t step = std::max<std::uint64_t>(n / std::min(wanted, kMaxPivots), 1);
  const std::uint64_t count = (n + step - 1) / step;
  return {step, count, std::min(count, seeds)};
}

PivotBlock gather_pivots(const PivotPlan& plan, const float* rows, const float* norms,
                         std::uint64_t d, std::span<const std::uint32_t> node_of) {
  PivotBlock block{plan, d, std::vector<float>(plan.count * d), std::vector<float>(plan.count),
                   std::vector<std::uint32_t>(plan.count), HalfRows{}};
  for (std::uint64_t p = 0; p < plan.count; ++p) {
    const std::uint64_t row = p * plan.step;
    const std::uint32_t node = node_of.empty() ? static_cast<std::uint32_t>(row) : node_of[row];
    block.ids[p] = node;
    block.norms[p] = norms[node];
    std::copy_n(rows + std::uint64_t{node} * d, d, block.rows.data() + p * d);
  }
  if (plan.count > plan.seeds) block.half = HalfRows::of(block.rows.data(), plan.count, d);
  return block;
}

PivotSeeds::PivotSeeds(const PivotBlock& block, std::uint64_t max_rows) : block_(block) {
  const PivotPlan& plan = block.plan;
  const std::uint64_t d = block.d;
  use_products_ = plan.count > plan.seeds && d > 0 && d <= INT_MAX && plan.count <= INT_MAX;
  if (use_products_) {
    use_single_threaded_blas();
    dots_.resize(std::min(max_rows, kBlock) * plan.count);
    lower_.resize(plan.count);
    upper_.resize(plan.count);
  }
  seeds_.reserve(plan.seeds);
  measured_.reserve(plan.count);
}

void PivotSeeds::load_block(const float* queries, std::uint64_t rows) {
  if (!use_products_ || rows == 0) return;
  VELNOR_ASSERT(rows * block_.plan.count <= dots_.size(), "query block too large");
  const auto d = static_cast<int>(block_.d);
  const auto pivots = static_cast<int>(block_.plan.count);
  half_products_ = rows == 1 && block_.half.count == block_.plan.count;
  if (half_products_) {
    block_.half.dots(queries, dots_.data());
    return;
  }
  if (rows == 1) {
    scipy_cblas_sgemv(CblasRowMajor, CblasNoTrans, pivots, d, 1.0f, block_.rows.data(), d,
                      queries, 1, 0.0f, dots_.data(), 1);
    return;
  }
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows), pivots, d,
                    1.0f, queries, d, block_.rows.data(), d, 0.0f, dots_.data(), pivots);
}

std::span<const std::uint32_t> PivotSeeds::nearest(const float* query, std::uint64_t r) {
  const PivotPlan& plan = block_.plan;
  const std::uint64_t count = plan.count, d = block_.d;
  seeds_.clear();
  if (count <= plan.seeds) {
    seeds_.assign(block_.ids.begin(), block_.ids.end());
    return seeds_;
  }
  if (!use_products_) {
    nearest_exact(query);
    return seeds_;
  }

  // |q - x|^2 = |q|^2 + |x|^2 - 2 q.x in f32 differs from sq_l2 by rounding
  // only, within product_distance_error. Products from the half rows x' may
  // further differ from q.x by |q| |x - x'| (and by the product's roundoff on
  // that part): `half_slack` times the row's error norm covers twice that.
  const float q_norm = squared_norm(query, d);
  const double roundoff = static_cast<double>(d + 4) * 0x1p-24;
  const double half_slack =
      half_products_ ? 2.0 * std::sqrt(double{q_norm} * (1.0 + 4.0 * roundoff)) * (1.0 + 4.0 * roundoff)
                     : 0.0;
  const double* half_error = half_products_ ? block_.half.error.data() : nullptr;
  const float* dots = dots_.data() + r * count;
  const float* norms = block_.norms.data();
  bool finite = true;
  for (std::uint64_t p = 0; p < count; ++p) {
    const float pivot_norm = norms[p];
    const float approx = (q_norm + pivot_norm) - (dots[p] + dots[p]);
    finite &= std::isfinite(approx);
    double err = product_distance_error(d, q_norm, pivot_norm, approx);
    if (half_error != nullptr) err += half_slack * half_error[p];
    lower_[p] = double{approx} - err;
    upper_[p] = double{approx} + err;
  }
  if (!finite) {
    nearest_exact(query);
    return seeds_;
  }

  // At least `seeds` pivots lie at or below the seeds-th smallest upper
  // bound; a pivot whose lower bound exceeds it cannot be among the nearest.
  // The smallest upper bounds are kept in ascending order in `smallest`.
  const std::uint64_t seeds = plan.seeds;
  double smallest[kMaxSeeds];
  std::uint64_t kept = 0;
  for (std::uint64_t p = 0; p < count; ++p) {
    const double u = upper_[p];
    if (kept == seeds && !(u < smallest[seeds - 1])) continue;
    std::uint64_t at = kept < seeds ? kept++ : seeds - 1;
    for (; at > 0 && u < smallest[at - 1]; --at) smallest[at] = smallest[at - 1];
    smallest[at] = u;
  }
  const double cutoff = smallest[seeds - 1];
  measured_.clear();
  for (std::uint64_t p = 0; p < count; ++p) {
    if (!(lower_[p] > cutoff)) measured_.push_back({static_cast<std::uint32_t>(p), 0.0f});
  }
  sq_l2_each(
      query, measured_.size(), d, [&](std::size_t j) { return pivot_row(measured_[j].id); },
      [&](std::size_t j, float dist) { measured_[j].dist = dist; });
  keep_nearest(measured_);
  return seeds_;
}

void PivotSeeds::nearest_exact(const float* query) {
  measured_.clear();
  sq_l2_each(
      query, block_.plan.count, block_.d, [&](std::size_t p) { return pivot_row(p); },
      [&](std::size_t p, float dist) { measured_.push_back({static_cast<std::uint32_t>(p), dist}); });
  keep_nearest(measured_);
}

void PivotSeeds::keep_nearest(std::vector<Candidate>& measured) {
  for (const Candidate& c : measured) {
    if (std::isnan(c.dist)) throw Error(kNanDistance);
  }
  const std::uint64_t seeds = block_.plan.seeds;
  const auto end = measured.begin() + static_cast<std::ptrdiff_t>(seeds);
  if (measured.size() > seeds) {
    std::nth_element(measured.begin(), end, measured.end(), nearer);
  }
  std::iter_swap(measured.begin(), std::min_element(measured.begin(), end, nearer));
  seeds_.clear();
  for (auto it = measured.begin(); it != end; ++it) seeds_.push_back(block_.ids[it->id]);
}

}  // namespace velnor
