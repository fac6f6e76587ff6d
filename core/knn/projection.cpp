#include "core/knn/projection.hpp"

#include <cblas.h>
#include <lapacke.h>

#include <algorithm>
#include <cstring>

#include "core/blas.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"

namespace velnor::knn {

namespace {

// Below this many dimensions a projection saves too little to pay for itself.
constexpr std::uint64_t kMinProjectedDim = 96;
// Rows projected per GEMM.
constexpr std::uint64_t kProjectBlock = 256;

}  // namespace

Projection principal_axes(const Dataset& dataset, double variance, double max_share,
                          std::uint64_t sample_rows) {
  const std::uint64_t n = dataset.n(), d = dataset.d();
  Projection result;
  result.d = d;
  result.p = d;
  if (n < 2 || d < kMinProjectedDim) return result;

  // An evenly spaced sample, centred on its mean (in double).
  const std::uint64_t step = std::max<std::uint64_t>(1, n / std::max<std::uint64_t>(sample_rows, 2));
  const std::uint64_t rows = (n + step - 1) / step;
  std::vector<double> mean(d, 0.0);
  for (std::uint64_t i = 0; i < rows; ++i) {
    const float* row = dataset.row(i * step);
    for (std::uint64_t k = 0; k < d; ++k) mean[k] += row[k];
  }
  for (double& m : mean) m /= static_cast<double>(rows);
  std::vector<float> centred(rows * d);
  for (std::uint64_t i = 0; i < rows; ++i) {
    const float* row = dataset.row(i * step);
    for (std::uint64_t k = 0; k < d; ++k)
      centred[i * d + k] = static_cast<float>(row[k] - mean[k]);
  }

  // Covariance (up to a factor) and its eigenvectors, ascending by eigenvalue.
  use_single_threaded_blas();
  const auto di = static_cast<blasint>(d);
  std::vector<float> cov(d * d, 0.0f);
  scipy_cblas_ssyrk(CblasRowMajor, CblasUpper, CblasTrans, di, static_cast<blasint>(rows), 1.0f,
                    centred.data(), di, 0.0f, cov.data(), di);
  std::vector<float>().swap(centred);
  std::vector<float> values(d), vectors(d * d);
  std::vector<lapack_int> support(2 * d);
  lapack_int found = 0;
  const lapack_int info = scipy_LAPACKE_ssyevr(
      LAPACK_ROW_MAJOR, 'V', 'A', 'U', di, cov.data(), di, 0.0f, 0.0f, 0, 0, 0.0f, &found,
      values.data(), vectors.data(), di, support.data());
  if (info != 0 || found != static_cast<lapack_int>(d)) return result;

  double total = 0.0;
  for (const float v : values) total += std::max(0.0f, v);
  if (!(total > 0.0)) return result;
  std::uint64_t p = 0;
  double kept = 0.0;
  while (p < d && kept < variance * total) kept += std::max(0.0f, values[d - 1 - p++]);
  p = std::min(d, (p + 7) / 8 * 8);
  if (static_cast<double>(p) > max_share * static_cast<double>(d)) return result;

  kept = 0.0;
  for (std::uint64_t j = 0; j < p; ++j) kept += std::max(0.0f, values[d - 1 - j]);
  result.p = p;
  result.retained = kept / total;
  result.mean.assign(mean.begin(), mean.end());
  // Row-major eigenvectors are columns: axis j is column d - 1 - j.
  result.axes.resize(p * d);
  for (std::uint64_t j = 0; j < p; ++j)
    for (std::uint64_t k = 0; k < d; ++k) result.axes[j * d + k] = vectors[k * d + (d - 1 - j)];
  return result;
}

std::vector<float> project(const Dataset& dataset, const Projection& projection) {
  const std::uint64_t n = dataset.n(), d = dataset.d(), p = projection.p;
  VELNOR_ASSERT(!projection.identity() && projection.d == d, "projection does not fit the dataset");
  std::vector<float> out(n * p);
  use_single_threaded_blas();
  const std::uint64_t blocks = (n + kProjectBlock - 1) / kProjectBlock;
  parallel_for(
      blocks, [&] { return std::vector<float>(kProjectBlock * d); },
      [&](std::vector<float>& centred, std::size_t b) {
        const std::uint64_t begin = b * kProjectBlock, rows = std::min(kProjectBlock, n - begin);
        for (std::uint64_t i = 0; i < rows; ++i) {
          const float* row = dataset.row(begin + i);
          for (std::uint64_t k = 0; k < d; ++k) centred[i * d + k] = row[k] - projection.mean[k];
        }
        scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(rows),
                          static_cast<blasint>(p), static_cast<blasint>(d), 1.0f, centred.data(),
                          static_cast<blasint>(d), projection.axes.data(), static_cast<blasint>(d),
                          0.0f, out.data() + begin * p, static_cast<blasint>(p));
      });
  return out;
}

}  // namespace velnor::knn
