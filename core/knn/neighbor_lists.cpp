#include "core/knn/neighbor_lists.hpp"

#include <immintrin.h>

#include <mutex>

#include "core/cpu.hpp"
#include "core/error.hpp"

namespace velnor::knn {

namespace {

constexpr float kOpen = std::numeric_limits<float>::infinity();

// Position of `id` among the first `count` ids, or `count`.
std::uint32_t find_plain(const std::uint32_t* ids, std::uint32_t count, std::uint32_t id) {
  for (std::uint32_t j = 0; j < count; ++j)
    if (ids[j] == id) return j;
  return count;
}

__attribute__((target("avx2"))) std::uint32_t find_avx2(const std::uint32_t* ids,
                                                       std::uint32_t count, std::uint32_t id) {
  const __m256i wanted = _mm256_set1_epi32(static_cast<int>(id));
  std::uint32_t j = 0;
  for (; j + 8 <= count; j += 8) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids + j));
    const unsigned mask = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(block, wanted))));
    if (mask != 0) return j + static_cast<std::uint32_t>(__builtin_ctz(mask));
  }
  for (; j < count; ++j)
    if (ids[j] == id) return j;
  return count;
}

}  // namespace

NeighborLists::NeighborLists(std::uint64_t n, std::uint64_t capacity)
    : capacity_(capacity),
      ids_(n * capacity),
      dists_(n * capacity),
      fresh_(n * capacity, 0),
      count_(n, 0),
      bar_(n, kOpen),
      locks_(n) {}

std::size_t NeighborLists::offer(std::uint32_t node, std::span<const Candidate> offers) {
  if (capacity_ == 0 || offers.empty()) return 0;
  std::lock_guard<Lock> guard(locks_[node]);
  std::size_t entered = 0;
  for (const Candidate& c : offers) entered += offer_one(node, c) ? 1 : 0;
  return entered;
}

bool NeighborLists::offer_one(std::uint64_t node, Candidate c) {
  VELNOR_ASSERT(c.dist == c.dist, "NaN distance among candidate neighbours");
  std::uint32_t* ids = ids_.data() + node * capacity_;
  float* dists = dists_.data() + node * capacity_;
  std::uint8_t* flags = fresh_.data() + node * capacity_;
  std::uint32_t count = count_[node];
  const auto worse_than_last = [&] {
    const float last = dists[count - 1];
    return c.dist > last || (c.dist == last && c.id >= ids[count - 1]);
  };
  if (count == capacity_ && worse_than_last()) return false;

  // An id already held keeps its better distance and its flag.
  std::uint32_t pos = cpu_has_avx2() ? find_avx2(ids, count, c.id) : find_plain(ids, count, c.id);
  std::uint8_t flag = 1;
  if (pos < count) {
    if (c.dist >= dists[pos]) return false;
    flag = flags[pos];
  } else if (count == capacity_) {
    pos = count - 1;  // the worst entry makes room
  } else {
    count_[node] = ++count;
  }
  while (pos > 0 && (c.dist < dists[pos - 1] || (c.dist == dists[pos - 1] && c.id < ids[pos - 1]))) {
    ids[pos] = ids[pos - 1];
    dists[pos] = dists[pos - 1];
    flags[pos] = flags[pos - 1];
    --pos;
  }
  ids[pos] = c.id;
  dists[pos] = c.dist;
  flags[pos] = flag;
  if (count == capacity_)
    std::atomic_ref<float>(bar_[node]).store(dists[count - 1], std::memory_order_relaxed);
  return true;
}

}  // namespace velnor::knn
