#include "core/hashprune/reservoir.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

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

}  // namespace

std::uint16_t to_bfloat16(float value) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  if ((x & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<std::uint16_t>((x >> 16) | 0x0040u);
  std::uint32_t h = x >> 16;
  const bool half_bit = (x & 0x8000u) != 0;
  const bool rest_or_odd = (x & 0x7FFFu) != 0 || (x & 0x10000u) != 0;
  if (half_bit && rest_or_odd) ++h;
  return static_cast<std::uint16_t>(h);
}

float from_bfloat16(std::uint16_t bits) {
  std::uint32_t h = bits;
  if ((h & 0x7FFFu) > 0x7F80u) h |= 0x0040u;
  return std::bit_cast<float>(h << 16);
}

Reservoir::Reservoir(std::uint64_t l_max) : l_max_(l_max) { entries_.reserve(l_max); }

void Reservoir::insert(std::uint32_t id, std::uint16_t code, float dist) {
  if (l_max_ == 0) return;  // a reservoir without room takes nothing
  const std::uint16_t q = to_bfloat16(dist);
  const float dq = from_bfloat16(q);
  const Entry offer = make_entry(id, code, q);
  for (Entry& e : entries_) {
    if (entry_code(e) == code) {
      if (beats(dq, id, e)) e = offer;
      return;
    }
  }
  if (entries_.size() < l_max_) {
    entries_.push_back(offer);
    return;
  }
  // Full: the worst entry (largest distance, then largest id) may give way.
  std::size_t worst = 0;
  for (std::size_t slot = 1; slot < entries_.size(); ++slot) {
    if (beats(entry_dist(entries_[worst]), entry_id(entries_[worst]), entries_[slot])) worst = slot;
  }
  if (beats(dq, id, entries_[worst])) entries_[worst] = offer;
}

std::vector<Candidate> Reservoir::into_sorted() {
  std::vector<Entry> entries = std::move(entries_);
  entries_ = {};
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
