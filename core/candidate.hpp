#pragma once
// A neighbour candidate: a row id with its squared distance from the node
// (or query) it belongs to.
#include <cstdint>

namespace velnor {

struct Candidate {
  std::uint32_t id;
  float dist;

  bool operator==(const Candidate&) const = default;
};

}  // namespace velnor
