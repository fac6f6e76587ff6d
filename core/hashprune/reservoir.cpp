#include "core/hashprune/reservoir.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/error.hpp"

namespace velnor::hashprune {

namespace {

inline std::uint32_t entry_id(Entry e) { return static_cast<std::uint32_t>(e); }
inline std::uint16_t entry_code(Entry e) { return static_cast<std::uint16_t>(e >> 32); }
inline float entry_dist(Entry e) { return from_bfloat16(static_cast<std::uint16_t>(e >> 48)); }

inline Entry make_entry(std::uint32_t id, std::uint16_t code, std::uint16_t dist_bits) {
  return static_cast<Entry>(id) | (static_cast<Entry>(code) << 32) |
         (static_cast<Entry>(dist_bits) << 48);
}

// True when (dist, id) is strictly better (smaller) than entry e; distances
// compare as floats, so a NaN on either side is never better.
inline bool beats(float dist, std::uint32_t id, Entry e) {
  const float held = entry_dist(e);
  return held > dist || (held == dist && entry_id(e) > id);
}

// Slot of the first entry holding `code`, or count when none does.
std::size_t find_code_scalar(const Entry* entries, std::size_t count, std::uint16_t code) {
  for (std::size_t slot = 0; slot < count; ++slot)
    if (entry_code(entries[slot]) == code) return slot;
  return count;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) std::size_t find_code_avx2(const Entry* entries, std::size_t count,
                                                           std::uint16_t code) {
  const __m256i want = _mm256_set1_epi64x(static_cast<long long>(code));
  const __m256i mask = _mm256_set1_epi64x(0xFFFF);
  std::size_t slot = 0;
  for (; slot + 4 <= count; slot += 4) {
    const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(entries + slot));
    const __m256i codes = _mm256_and_si256(_mm256_srli_epi64(e, 32), mask);
    const int hits = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(codes, want)));
    if (hits != 0) return slot + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
  const std::size_t rest = find_code_scalar(entries + slot, count - slot, code);
  return slot + rest;
}

const bool has_avx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
#endif

std::size_t find_code(const Entry* entries, std::size_t count, std::uint16_t code) {
#if defined(__x86_64__)
  if (has_avx2) return find_code_avx2(entries, count, code);
#endif
  return find_code_scalar(entries, count, code);
}

}  // namespace

Reservoir::Reservoir(std::uint64_t l_max) : l_max_(l_max) { entries_.reserve(l_max); }

std::uint32_t Reservoir::worst_slot() {
  if (worst_ == kWorstUnknown) {
    // The first slot of the largest (distance, id).
    std::uint32_t worst = 0;
    for (std::uint32_t slot = 1; slot < entries_.size(); ++slot) {
      if (beats(entry_dist(entries_[worst]), entry_id(entries_[worst]), entries_[slot])) worst = slot;
    }
    worst_ = worst;
  }
  return worst_;
}

void Reservoir::insert(std::uint32_t id, std::uint16_t code, float dist) {
  if (l_max_ == 0) return;  // a reservoir without room takes nothing
  const std::uint16_t q = to_bfloat16(dist);
  const float dq = from_bfloat16(q);
  const Entry offer = make_entry(id, code, q);
  const std::size_t same = find_code(entries_.data(), entries_.size(), code);
  if (same < entries_.size()) {
    Entry& held = entries_[same];
    if (!beats(dq, id, held)) return;
    held = offer;
    if (worst_ != kWorstUnknown && (worst_ == same || !beats(dq, id, entries_[worst_]))) worst_ = kWorstUnknown;
    return;
  }
  if (entries_.size() < l_max_) {
    entries_.push_back(offer);
    worst_ = kWorstUnknown;
    return;
  }
  // Full: the worst entry (largest distance, then largest id) may give way.
  const std::uint32_t worst = worst_slot();
  if (beats(dq, id, entries_[worst])) {
    entries_[worst] = offer;
    worst_ = kWorstUnknown;
  }
}

std::vector<Candidate> Reservoir::into_sorted() {
  std::vector<Entry> entries = std::move(entries_);
  entries_ = {};
  worst_ = kWorstUnknown;
  std::vector<Candidate> out;
  out.reserve(entries.size());
  for (const Entry e : entries) {
    const float dist = entry_dist(e);
    VELNOR_ASSERT(!std::isnan(dist), "NaN distance in a candidate reservoir: input holds NaN or infinity");
    out.push_back({entry_id(e), dist});
  }
  std::sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) {
    return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
  });
  return out;
}

NodeReservoirs::NodeReservoirs(std::uint64_t n, std::uint64_t l_max) : locks(n) {
  reservoirs.reserve(n);
  for (std::uint64_t i = 0; i < n; ++i) reservoirs.emplace_back(l_max);
}

}  // namespace velnor::hashprune
