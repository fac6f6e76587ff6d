#pragma once
// A point's bounded store of candidate neighbours (HashPrune). It keeps at
// most one candidate per hash code - per cell of the hyperplane arrangement
// around the point - and at most l_max candidates in all, preferring the
// nearest. The contents depend only on the set of offers, not their order
// (for non-NaN distances, and when an id always comes with the same code), so
// the build's result does not depend on scheduling.
//
// Not thread-safe by itself: the build guards each reservoir with its node's
// mutex.
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/candidate.hpp"

namespace velnor::hashprune {

// bfloat16: the upper half of an f32 bit pattern, rounded to nearest with
// ties to even; a NaN stays a (quiet) NaN.
std::uint16_t to_bfloat16(float value);
float from_bfloat16(std::uint16_t bits);

// One 8-byte entry: id in bits 0-31, code in bits 32-47, distance as
// bfloat16 in bits 48-63.
using Entry = std::uint64_t;

class Reservoir {
 public:
  // Empty, with all l_max entries reserved so insert never reallocates.
  explicit Reservoir(std::uint64_t l_max);

  // Offers candidate `id` with hash `code` at squared distance `dist`.
  // Distances are compared after rounding to bfloat16, ties by smaller id:
  //   * an entry with the same code is replaced only by a better offer;
  //   * otherwise the offer is appended while there is room;
  //   * otherwise it replaces the worst entry if it is better than it.
  void insert(std::uint32_t id, std::uint16_t code, float dist);

  std::uint64_t size() const { return entries_.size(); }
  std::uint64_t capacity() const { return l_max_; }
  const std::vector<Entry>& entries() const { return entries_; }

  // Consumes the entries: (id, widened distance) pairs ascending by
  // distance, ties by ascending id. Throws Error when a distance is NaN.
  std::vector<Candidate> into_sorted();

 private:
  std::vector<Entry> entries_;
  std::uint64_t l_max_;
};

// The build's reservoirs: one per node, each behind its own mutex. A worker
// holds a node's lock for one batch of inserts and never two locks at once.
struct NodeReservoirs {
  NodeReservoirs(std::uint64_t n, std::uint64_t l_max);

  std::vector<Reservoir> reservoirs;
  std::vector<std::mutex> locks;
};

}  // namespace velnor::hashprune
