#pragma once
// For every node, the nearest candidates offered to it so far: at most
// `capacity` (id, distance) pairs, ascending by (distance, id), each id at
// most once, at the smallest distance it was offered at. Once a list is full
// its worst entry only improves, so the lists end the same whatever the
// order of the offers: each holds the `capacity` best distinct ids of all
// offers it received. Offers to a node take that node's lock, so any number
// of workers may offer at once.
#include <atomic>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/candidate.hpp"

namespace velnor::knn {

class NeighborLists {
 public:
  NeighborLists(std::uint64_t n, std::uint64_t capacity);

  std::uint64_t size() const { return count_.size(); }
  std::uint64_t capacity() const { return capacity_; }

  // Offers candidates to `node` under its lock; returns how many entered.
  // Keeping a node out of its own list is the caller's part. Distances must
  // not be NaN.
  std::size_t offer(std::uint32_t node, std::span<const Candidate> offers);

  // A node's list: ids and distances, ascending. Not to be read while
  // offers to the node may run.
  std::span<const std::uint32_t> ids(std::uint64_t node) const {
    return {ids_.data() + node * capacity_, count_[node]};
  }
  std::span<const float> dists(std::uint64_t node) const {
    return {dists_.data() + node * capacity_, count_[node]};
  }
  // Per entry: whether it entered since its flag was last cleared.
  std::span<std::uint8_t> fresh(std::uint64_t node) {
    return {fresh_.data() + node * capacity_, count_[node]};
  }

  // The distance an offer must beat to enter (+inf until the list is full).
  // It only falls, so any value read, even while offers run, is safe to
  // reject against: an offer at or beyond it could not enter later either.
  float bar(std::uint64_t node) const {
    return std::atomic_ref<const float>(bar_[node]).load(std::memory_order_relaxed);
  }

 private:
  class Lock {
   public:
    void lock() {
      while (held_.exchange(true, std::memory_order_acquire))
        while (held_.load(std::memory_order_relaxed)) __builtin_ia32_pause();
    }
    void unlock() { held_.store(false, std::memory_order_release); }

   private:
    std::atomic<bool> held_{false};
  };

  bool offer_one(std::uint64_t node, Candidate c);

  std::uint64_t capacity_;
  std::vector<std::uint32_t> ids_;   // n x capacity
  std::vector<float> dists_;         // n x capacity
  std::vector<std::uint8_t> fresh_;  // n x capacity
  std::vector<std::uint32_t> count_;
  std::vector<float> bar_;
  std::vector<Lock> locks_;
};

}  // namespace velnor::knn
