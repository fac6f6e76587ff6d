#pragma once
// The squared Euclidean distance kernel shared by every stage that compares
// two rows directly. Its summation order is fixed, because exact f32 results
// decide ties everywhere else:
//   * two accumulators A and B of 8 lanes; while 16 values remain, the first
//     8 go to A and the next 8 to B (lane by lane);
//   * if 8 values remain, they go to A;
//   * lanes combine as t = A + B, s = (((t0+t1)+t2)+t3) + (((t4+t5)+t6)+t7);
//   * the remaining values are added to s one by one, in order.
// Each difference, square and sum rounds to f32; nothing is fused.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace velnor {

// Squared distance of the first len values of a and b.
float sq_l2(const float* a, const float* b, std::size_t len);

// The plain reference loop of the same order, without vector instructions.
float sq_l2_reference(const float* a, const float* b, std::size_t len);

// Squared distances of a against four rows at once (out[i] = sq_l2(a, b[i])),
// bit-identical to four calls of sq_l2 but faster: the four accumulations
// run interleaved.
void sq_l2_x4(const float* a, const float* const b[4], std::size_t len, float out[4]);

// Squared distances of a against `count` rows, each handed over in order as
// emit(j, sq_l2(a, row_of(j))), four rows at a time. The last one to three
// rows are measured one by one: a four-row pass padded with repeats was
// measured slower for two rows, and no faster for three below 784 values.
template <class RowOf, class Emit>
void sq_l2_each(const float* a, std::size_t count, std::size_t len, RowOf&& row_of, Emit&& emit) {
  std::size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const float* rows[4] = {row_of(j), row_of(j + 1), row_of(j + 2), row_of(j + 3)};
    float dist[4];
    sq_l2_x4(a, rows, len, dist);
    for (std::size_t t = 0; t < 4; ++t) emit(j + t, dist[t]);
  }
  for (; j < count; ++j) emit(j, sq_l2(a, row_of(j), len));
}

// The same into out[0..count).
template <class RowOf>
void sq_l2_each(const float* a, std::size_t count, std::size_t len, RowOf&& row_of, float* out) {
  sq_l2_each(a, count, len, row_of, [out](std::size_t j, float v) { out[j] = v; });
}

// How far `approx` = (|q|^2 + |x|^2) - 2 q.x, computed in f32 from a matrix
// product (any summation order, fused or not) and the two squared norms, can
// lie from sq_l2(q, x) for rows of d values: each side is within (d + 4)
// units of roundoff of the sums of squares involved. The bound covers both
// sides with room to spare, and underflow.
inline double product_distance_error(std::uint64_t d, float q_norm, float x_norm, float approx) {
  const double slack = 3.0 * static_cast<double>(d + 4) * 0x1p-24;
  const double floor = static_cast<double>(d + 4) * std::numeric_limits<float>::min();
  return slack * (double{q_norm} + double{x_norm} + std::fabs(double{approx})) + floor;
}

// One instruction-set variant of the two kernels above.
struct SqL2Kernel {
  const char* name;
  float (*one)(const float* a, const float* b, std::size_t len);
  void (*four)(const float* a, const float* const b[4], std::size_t len, float out[4]);
};

// Every variant the running processor supports (sq_l2 uses the widest), so
// tests can hold each of them against the reference loop.
std::vector<SqL2Kernel> sq_l2_kernels();

}  // namespace velnor
