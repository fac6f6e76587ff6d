#include "core/metric.hpp"

#include <cmath>
#include <string>

namespace velnor {

std::optional<Metric> Metric::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lowered == "l2" || lowered == "euclidean" || lowered == "euclidian") return Metric(L2);
  if (lowered == "cosine" || lowered == "angular") return Metric(Cosine);
  return std::nullopt;
}

float Metric::reported(float s) const {
  const float clamped = s > 0.0f ? s : 0.0f;
  return kind == Cosine ? clamped * 0.5f : std::sqrt(clamped);
}

}  // namespace velnor
