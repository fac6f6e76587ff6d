#include "core/search/pivots.hpp"

#include <cblas.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/blas.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"

namespace velnor {

namespace {

constexpr std::uint64_t kMaxPivots = 2048;
constexpr std::uint64_t kMaxSeeds = 16;

constexpr const char* kNanDistance =
    "NaN distance in a k-NN query: the query or a data row holds NaN or infinity";

bool nearer(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

}  // namespace

PivotPlan pivot_plan(std::uint64_t n, std::uint64_t L) {
  if (n == 0) return {1, 0, 0};
  const auto root_bound = static_cast<std::uint64_t>(4.0 * std::sqrt(static_cast<double>(n)));
  const std::uint64_t wanted = std::min(std::max(root_bound, L), n);
  const std::uint64_t step = std::max<std::uint64_t>(n / std::min(wanted, kMaxPivots), 1);
  const std::uint64_t count = (n + step - 1) / step;
  return {step, count, std::min(count, kMaxSeeds)};
}

PivotSeeds::PivotSeeds(const Dataset& dataset, const PivotPlan& plan)
    : dataset_(dataset), plan_(plan) {
  const std::uint64_t d = dataset.d();
  // The GEMM reads the pivots in place, as rows `step * d` values apart.
  use_gemm_ = plan.count > plan.seeds && d > 0 && plan.step <= INT_MAX / d &&
              plan.count <= INT_MAX;
  if (use_gemm_) {
    use_single_threaded_blas();
    dots_.resize(kBlock * plan.count);
    lower_.resize(plan.count);
    upper_.resize(plan.count);
  }
  seeds_.reserve(plan.seeds);
  measured_.reserve(plan.count);
}

void PivotSeeds::load_block(const float* queries, std::uint64_t rows) {
  if (!use_gemm_ || rows == 0) return;
  VELNOR_ASSERT(rows <= kBlock, "query block too large");
  const auto d = static_cast<int>(dataset_.d());
  const auto pivots = static_cast<int>(plan_.count);
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows), pivots, d,
                    1.0f, queries, d, dataset_.data(), static_cast<int>(plan_.step) * d, 0.0f,
                    dots_.data(), pivots);
}

std::span<const std::uint32_t> PivotSeeds::nearest(const float* query, std::uint64_t r) {
  const std::uint64_t count = plan_.count, d = dataset_.d();
  seeds_.clear();
  if (count <= plan_.seeds) {
    for (std::uint64_t p = 0; p < count; ++p) {
      seeds_.push_back(static_cast<std::uint32_t>(p * plan_.step));
    }
    return seeds_;
  }
  if (!use_gemm_) {
    nearest_exact(query);
    return seeds_;
  }

  // |q - x|^2 = |q|^2 + |x|^2 - 2 q.x in f32 differs from sq_l2 by rounding
  // only, within product_distance_error.
  float q_norm = 0.0f;
  for (std::uint64_t k = 0; k < d; ++k) q_norm = q_norm + query[k] * query[k];
  const float* dots = dots_.data() + r * count;
  const std::vector<float>& norms = dataset_.norms();
  for (std::uint64_t p = 0; p < count; ++p) {
    const float pivot_norm = norms[p * plan_.step];
    const float approx = (q_norm + pivot_norm) - (dots[p] + dots[p]);
    if (!std::isfinite(approx)) {
      nearest_exact(query);
      return seeds_;
    }
    const double err = product_distance_error(d, q_norm, pivot_norm, approx);
    lower_[p] = double{approx} - err;
    upper_[p] = double{approx} + err;
  }

  // At least `seeds` pivots lie at or below the seeds-th smallest upper
  // bound; a pivot whose lower bound exceeds it cannot be among the nearest.
  // (upper_ is reordered here and not read by pivot again.)
  const auto kth = upper_.begin() + static_cast<std::ptrdiff_t>(plan_.seeds - 1);
  std::nth_element(upper_.begin(), kth, upper_.end());
  const double cutoff = *kth;
  measured_.clear();
  for (std::uint64_t p = 0; p < count; ++p) {
    if (lower_[p] > cutoff) continue;
    const std::uint64_t row = p * plan_.step;
    measured_.push_back({static_cast<std::uint32_t>(row), sq_l2(query, dataset_.row(row), d)});
  }
  keep_nearest(measured_);
  return seeds_;
}

void PivotSeeds::nearest_exact(const float* query) {
  measured_.clear();
  for (std::uint64_t p = 0; p < plan_.count; ++p) {
    const std::uint64_t row = p * plan_.step;
    measured_.push_back(
        {static_cast<std::uint32_t>(row), sq_l2(query, dataset_.row(row), dataset_.d())});
  }
  keep_nearest(measured_);
}

void PivotSeeds::keep_nearest(std::vector<Candidate>& measured) {
  for (const Candidate& c : measured) {
    if (std::isnan(c.dist)) throw Error(kNanDistance);
  }
  const auto end = measured.begin() + static_cast<std::ptrdiff_t>(plan_.seeds);
  if (measured.size() > plan_.seeds) {
    std::nth_element(measured.begin(), end, measured.end(), nearer);
  }
  std::iter_swap(measured.begin(), std::min_element(measured.begin(), end, nearer));
  seeds_.clear();
  for (auto it = measured.begin(); it != end; ++it) seeds_.push_back(it->id);
}

}  // namespace velnor
