#pragma once
// The distance metric a dataset is compared under. Every stage ranks by
// squared Euclidean distance; the metric decides only how rows are stored
// (cosine rows are scaled to unit length) and how a squared distance is
// reported to callers.
#include <cstdint>
#include <optional>
#include <string_view>

namespace velnor {

struct Metric {
  enum Kind : std::uint8_t { L2 = 0, Cosine = 1 };

  Kind kind = L2;

  constexpr Metric(Kind k = L2) : kind(k) {}
  constexpr bool operator==(const Metric&) const = default;

  // Names are matched after lowering ASCII letters, with no trimming:
  // "l2", "euclidean", "euclidian" -> L2; "cosine", "angular" -> Cosine.
  static std::optional<Metric> parse(std::string_view text);

  // The distance reported for squared distance s: sqrt(max(s, 0)) for L2,
  // max(s, 0) * 0.5 for Cosine. A NaN s reports as 0.
  float reported(float s) const;
};

}  // namespace velnor
