// The integer dot products of queries' codes with records' codes, exact on every path, and
// the upper bounds they give.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/sketch.hpp"

namespace tarnix::core {

// dots[q * dots_stride + r] = sum over j < stride of k_j * codes[r * stride + j], k the
// codes of queries[q], for q < query_count and r < count. The stride is a multiple of 32;
// |k_j| <= 32767, or 127 for a path that takes the queries' codes as bytes (their `bytes`,
// as Kernels::sketch_query_codes says), and |codes| <= 127, so partial sums of up to 512
// products fit an int32 and every path gives the same, exact, integers, handed over as
// doubles (every integer below 2^53 is one) for the float64 bound arithmetic. Several
// queries share each read of a record's codes, so a batch reads the codes once from
// memory, not once per query.
using SketchDots = void (*)(const std::int8_t* codes, std::size_t stride, std::size_t count,
                            const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                            std::size_t dots_stride);

// uppers[i] = est + score_bound(query, est, residuals[i]) with est = score_estimate(query,
// scales[i], dots[i]), for i < count, bit for bit as those functions give them (every path
// does their float64 operations in their order, without fused multiply-adds); returns
// whether any of them is not below `cut`.
using SketchUppers = bool (*)(const SketchedQuery& query, const double* dots, const float* scales,
                              const float* residuals, std::size_t count, double cut, double* uppers);

// SketchUppers for the records [first, count), one at a time: the portable path, and every
// path past its last full set of lanes.
inline bool sketch_uppers_one_by_one(const SketchedQuery& query, const double* dots, const float* scales,
                                     const float* residuals, std::size_t first, std::size_t count, double cut,
                                     double* uppers) {
  bool any = false;
  for (std::size_t i = first; i < count; ++i) {
    const double estimate = score_estimate(query, scales[i], dots[i]);
    uppers[i] = estimate + score_bound(query, estimate, residuals[i]);
    any |= !(uppers[i] < cut);
  }
  return any;
}

bool sketch_uppers_scalar(const SketchedQuery& query, const double* dots, const float* scales,
                          const float* residuals, std::size_t count, double cut, double* uppers);
bool sketch_uppers_sse2(const SketchedQuery& query, const double* dots, const float* scales,
                        const float* residuals, std::size_t count, double cut, double* uppers);
bool sketch_uppers_avx2(const SketchedQuery& query, const double* dots, const float* scales,
                        const float* residuals, std::size_t count, double cut, double* uppers);
bool sketch_uppers_avx512(const SketchedQuery& query, const double* dots, const float* scales,
                          const float* residuals, std::size_t count, double cut, double* uppers);

void sketch_dots_scalar(const std::int8_t* codes, std::size_t stride, std::size_t count,
                        const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                        std::size_t dots_stride);
void sketch_dots_sse2(const std::int8_t* codes, std::size_t stride, std::size_t count,
                      const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                      std::size_t dots_stride);
void sketch_dots_avx2(const std::int8_t* codes, std::size_t stride, std::size_t count,
                      const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                      std::size_t dots_stride);
void sketch_dots_avx_vnni(const std::int8_t* codes, std::size_t stride, std::size_t count,
                          const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                          std::size_t dots_stride);
void sketch_dots_avx512(const std::int8_t* codes, std::size_t stride, std::size_t count,
                        const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                        std::size_t dots_stride);

}  // namespace tarnix::core
