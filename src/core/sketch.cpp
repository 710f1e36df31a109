// Building the sketch of a record and of a query, and the bound on the kernel's rounding.
#include "core/sketch.hpp"

#include <algorithm>  // std::fill
#include <cmath>      // std::sqrt, std::isfinite, std::nextafter
#include <limits>

#include "core/growth.hpp"

namespace tarnix::core {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kUnit = 0x1p-24;  // u, the unit roundoff of float32
// Sums of squares (float64) outside this range are not covered by the margin.
constexpr double kSmallestSquares = 0x1p-99;
constexpr double kLargestSquares = 0x1p125;
constexpr double kLargestCode = 127.0;
constexpr double kLargestQueryWord = 32767.0;

// Code lanes read at once by the widest kernel.
constexpr std::size_t kStrideMultiple = 32;

// A relative error bound for float64 sums and square roots over D terms, generous: the
// exact bound is near (D + 2) * 2^-53.
double float64_slack(std::size_t dimension) { return (static_cast<double>(dimension) + 8.0) * 0x1p-50; }

// The margin 2M of the comment in sketch.hpp, or infinity where D*u is not small.
double kernel_margin(std::size_t dimension) {
  const double d = static_cast<double>(dimension);
  if (d * kUnit > 0x1p-8) return kInfinity;
  const double g = d * kUnit / (1.0 - d * kUnit);
  const double e = g + d * 0x1p-47;
  const double a = g + d * 0x1p-49;
  const double n = a + kUnit + a * kUnit;
  const double rho = (1.0 + kUnit) / ((1.0 - n) * (1.0 - n) * (1.0 - kUnit)) - 1.0;
  const double m = (1.0 + e) * rho + e + 0x1p-149;
  return 2.0 * m * (1.0 + 0x1p-30);
}

// The float64 sum of term(0), ..., term(count - 1), in four partial sums that do not wait
// on each other's additions: float64_slack bounds the rounding of a sum in any order.
template <class Term>
double sum_of(std::size_t count, Term term) {
  double partial[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) partial[lane] += term(i + lane);
  }
  for (; i < count; ++i) partial[0] += term(i);
  return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

// The float64 sum of squares when every component is finite, else nothing.
// No test per component: a float32's square is finite in float64, and so is a sum of
// 2^32 of them, while an infinity or a NaN makes the sum infinite or NaN.
std::optional<double> finite_squares(const float* v, std::size_t dimension) {
  const double squares =
      sum_of(dimension, [v](std::size_t i) { return static_cast<double>(v[i]) * static_cast<double>(v[i]); });
  if (!std::isfinite(squares)) return std::nullopt;
  return squares;
}

bool in_covered_range(double squares) { return squares >= kSmallestSquares && squares <= kLargestSquares; }

// Exact in any order; four running maxima for the same reason as sum_of's partial sums.
double largest_magnitude(const float* v, std::size_t dimension) {
  double largest[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= dimension; i += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane)
      largest[lane] = std::max(largest[lane], std::fabs(static_cast<double>(v[i + lane])));
  }
  for (; i < dimension; ++i) largest[0] = std::max(largest[0], std::fabs(static_cast<double>(v[i])));
  return std::max(std::max(largest[0], largest[1]), std::max(largest[2], largest[3]));
}

// x rounded to the nearest integer, ties to even, for |x| < 2^51: adding 1.5 * 2^52 leaves
// no fraction bits, so the float64 addition rounds x. Unlike std::nearbyint, which is a
// call into the library below SSE4.1, this is two additions in every SIMD lane. The codes
// need not be the nearest to be sound (the residual is measured against the codes
// chosen); being the nearest keeps the residual, and with it the bound, small.
double nearest_integer(double x) {
  constexpr double kRounder = 0x1.8p52;
  return (x + kRounder) - kRounder;
}

// round(v_i / scale) into codes (or a neighbour of it), and an upper bound on the norm of v - scale * codes: the
// float64 sum, widened for its own rounding and for that of each residual component
// (each below 2^-53 * (|v_i| + scale / 2), well inside 2^-48 * ||v||).
template <class Code>
double quantise(const float* v, std::size_t dimension, double scale, double largest_code, double norm, Code* codes) {
  // A product with the reciprocal rather than a division per component: a code one off
  // the nearest now and then costs the bound a little, never its soundness.
  const double reciprocal = 1.0 / scale;
  const double residual_squares = sum_of(dimension, [&](std::size_t i) {
    const double code = std::clamp(nearest_integer(static_cast<double>(v[i]) * reciprocal), -largest_code, largest_code);
    codes[i] = static_cast<Code>(code);
    const double residual = static_cast<double>(v[i]) - scale * code;
    return residual * residual;
  });
  return std::sqrt(residual_squares) * (1.0 + float64_slack(dimension)) + 0x1p-48 * norm;
}

// b as a float32 no smaller than it.
float rounded_up(double b) {
  float f = static_cast<float>(b);
  if (static_cast<double>(f) < b) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

}  // namespace

Sketch::Sketch(std::size_t dimension)
    : dimension_(dimension),
      stride_((dimension + kStrideMultiple - 1) / kStrideMultiple * kStrideMultiple),
      margin_(kernel_margin(dimension)) {}

void Sketch::reserve(std::size_t records) {
  codes_.reserve(records * stride_);
  scales_.reserve(records);
  residuals_.reserve(records);
}

void Sketch::make_room() {
  grow_for(codes_, stride_);
  grow_for(scales_, 1);
  grow_for(residuals_, 1);
}

void Sketch::append(const float* record) noexcept {
  const std::size_t at = codes_.size();
  codes_.resize(at + stride_);  // cannot throw: the room is there
  std::int8_t* codes = codes_.data() + at;
  std::fill(codes, codes + stride_, std::int8_t{0});
  const std::optional<double> squares = finite_squares(record, dimension_);
  if (!squares || !in_covered_range(*squares) || margin_ == kInfinity) {
    scales_.push_back(0.0f);
    residuals_.push_back(std::numeric_limits<float>::infinity());
    return;
  }
  const double norm = std::sqrt(*squares);
  const double scale = largest_magnitude(record, dimension_) / kLargestCode;
  const double residual = quantise(record, dimension_, scale, kLargestCode, norm, codes);
  const double slack = 1.0 + float64_slack(dimension_);
  scales_.push_back(static_cast<float>(scale / norm));
  residuals_.push_back(rounded_up(residual / norm * slack));
}

namespace {

// The query of norm `norm` and largest magnitude `largest` quantised to codes no larger
// than `largest_code`, with its bound's terms.
SketchedQuery quantised_query(const Sketch& sketch, std::span<const float> query, double norm, double largest,
                              double largest_code) {
  const std::size_t dimension = sketch.dimension();
  const double scale = largest / largest_code;
  SketchedQuery sketched{std::vector<std::int16_t>(sketch.stride(), 0), {}, 0.0, 0.0, 0.0, 0.0, 0.0, nullptr};
  const double residual = quantise(query.data(), dimension, scale, largest_code, norm, sketched.codes.data());
  const double slack = 1.0 + float64_slack(dimension);
  const double phi = residual / norm * slack;
  sketched.scale = scale / norm;
  sketched.slack = (sketch.margin() + phi) * slack;
  sketched.residual_factor = (1.0 + phi) * slack;
  // rel: the float32 rounding of s / ||x|| (u), and the float64 steps of both scales and
  // of est's two products (a few D * 2^-53 in all).
  const double rel = 2.0 * kUnit + float64_slack(dimension);
  sketched.estimate_factor = 2.0 * rel * slack;
  return sketched;
}

}  // namespace

std::optional<SketchedQuery> sketch_query(const Sketch& sketch, std::span<const float> query, QueryCodes form) {
  const std::size_t dimension = sketch.dimension();
  const std::optional<double> squares = finite_squares(query.data(), dimension);
  if (!squares || !in_covered_range(*squares) || sketch.margin() == std::numeric_limits<double>::infinity())
    return std::nullopt;
  const double norm = std::sqrt(*squares);
  const double largest = largest_magnitude(query.data(), dimension);
  if (form == QueryCodes::words) return quantised_query(sketch, query, norm, largest, kLargestQueryWord);
  // Bytes, with the sum of their codes and the same query in words to refine with.
  SketchedQuery sketched = quantised_query(sketch, query, norm, largest, kLargestCode);
  std::int64_t code_sum = 0;
  for (const std::int16_t k : sketched.codes) code_sum += k;
  sketched.code_sum = static_cast<double>(code_sum);
  sketched.bytes.assign(sketched.codes.begin(), sketched.codes.end());
  sketched.words = std::make_shared<const SketchedQuery>(quantised_query(sketch, query, norm, largest, kLargestQueryWord));
  return sketched;
}

}  // namespace tarnix::core
