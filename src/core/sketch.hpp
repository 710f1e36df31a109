// The sketch of a store: per record, int8 codes, a scale and a proven bound on how far
// the exact kernel's score can lie from the score the codes estimate.
#pragma once

#include <cmath>    // std::fabs
#include <cstddef>  // std::size_t
#include <cstdint>  // std::int8_t, std::int16_t, std::int64_t
#include <memory>   // std::shared_ptr
#include <optional>
#include <span>
#include <vector>

#include "core/streamed_allocator.hpp"

namespace tarnix::core {

// The bound, for a record x and a query q of dimension D, neither with a non-finite
// component and both with float64 sums of squares in [2^-99, 2^125]:
// 1. x = s*c + e with integer codes c, |c_i| <= 127, and r >= ||e|| (float64, rounded up
//    generously); q = t*k + f with |k_i| <= 32767 (127 for the paths that multiply bytes)
//    and ||f|| bounded likewise. Then
//    q.x = s*t*(k.c) + s*(f.c) + q.e, and by Cauchy-Schwarz, with s*||c|| = ||x - e||
//    <= ||x|| + r, the real cosine lies within b + (1 + b)*phi of
//    est = s*t*(k.c) / (||q||*||x||), where b = r/||x|| and phi = ||f||/||q||. k.c is an
//    exact integer; est is computed in float64 to a relative error rel (the float32
//    factor s/||x|| included), which adds 2*rel*|est|.
// 2. The exact kernel (strict float32 sums from -0.0, no fused multiply-add): with
//    u = 2^-24 and g = D*u/(1 - D*u), a product that underflows errs by at most 2^-150,
//    additions of subnormals are exact, and the sums above keep every intermediate below
//    2^126 (no overflow) and both norms above 2^-50 (their product and the division
//    stay normal apart from the final quotient). So the dot product errs by at most
//    e = g + D*2^-47 relative to ||q||*||x||, each sum of squares by a = g + D*2^-49
//    relative, each norm by n = a + u + a*u (|sqrt(1+a) - 1| <= |a|), the quotient of the
//    norms' product by rho = (1+u)/((1-n)^2 (1-u)) - 1, and with |cos| <= 1 the score
//    lies within M = (1 + e)*rho + e + 2^-149 of the real cosine; margin() is 2*M.
// Hence |score - est| <= 2M + b + (1 + b)*phi + 2*rel*|est|, every term rounded up.
// Records outside those ranges have an infinite bound and are never skipped.
class Sketch {
 public:
  explicit Sketch(std::size_t dimension);

  std::size_t dimension() const { return dimension_; }
  // Codes per record, the dimension rounded up so that kernels read whole registers;
  // the codes past the dimension are zero.
  std::size_t stride() const { return stride_; }
  std::size_t size() const { return scales_.size(); }
  // The bound on the exact kernel's rounding, 2M above; infinite when D*u is not small.
  double margin() const { return margin_; }

  const std::int8_t* codes(std::size_t record) const { return codes_.data() + record * stride_; }
  // s / ||x||, as a float32: its rounding is part of rel.
  const float* scales() const { return scales_.data(); }
  // b = r / ||x||, rounded up to float32; +infinity for a record never skipped.
  const float* residuals() const { return residuals_.data(); }

  void reserve(std::size_t records);
  // Room for one more record; on failure (std::bad_alloc) nothing changes.
  void make_room();
  // Appends the sketch of one record of `dimension` floats. Needs the room make_room()
  // made, and then cannot fail.
  void append(const float* record) noexcept;

 private:
  std::size_t dimension_;
  std::size_t stride_;
  double margin_;
  std::vector<std::int8_t, StreamedAllocator<std::int8_t>> codes_;
  std::vector<float> scales_;
  std::vector<float> residuals_;
};

// How a path's kernels take a query's codes: as int16 words, |k_i| <= 32767, or as int8
// bytes, |k_i| <= 127, which multiply twice as many codes an instruction but leave the
// query a coarser residual, and the bound its term phi about 250 times larger (about
// the records' own term: the bound doubles). A path that takes bytes refines each record
// that its bytes' bound cannot skip with the words' bound before keeping it.
enum class QueryCodes { words, bytes };

// A query as the sketch reads it, or nothing for a query that must take the exhaustive path.
struct SketchedQuery {
  std::vector<std::int16_t> codes;  // k, zero past the dimension (sketch stride long)
  std::vector<std::int8_t> bytes;   // k again when quantised to bytes, else empty
  double code_sum;                  // the sum of k, exact (set with the bytes)
  double scale;                     // t / ||q||
  double slack;                     // margin + phi, rounded up
  double residual_factor;           // 1 + phi, rounded up
  double estimate_factor;           // 2 * rel, rounded up
  // For a query in bytes, the same query in words, whose bound is the tighter; else none.
  std::shared_ptr<const SketchedQuery> words;
};

std::optional<SketchedQuery> sketch_query(const Sketch& sketch, std::span<const float> query, QueryCodes form);

// What the bound is widened by for the few roundings of its own sum, and then some.
constexpr double kBoundWidening = 1.0 + 0x1p-30;

// est for a record, from the integer dot product of its codes with the query's.
inline double score_estimate(const SketchedQuery& query, float scale, double dot) {
  return static_cast<double>(scale) * query.scale * dot;
}

// The bound on |score - est| for a record whose residual is b: est +- this holds the exact
// kernel's score. Infinite for a record that is never skipped. The kernels' SketchUppers
// computes the same operations in the same order, so its bits are these.
inline double score_bound(const SketchedQuery& query, double estimate, float residual) {
  const double bound = query.slack + static_cast<double>(residual) * query.residual_factor +
                       query.estimate_factor * std::fabs(estimate);
  return bound * kBoundWidening;
}

}  // namespace tarnix::core
