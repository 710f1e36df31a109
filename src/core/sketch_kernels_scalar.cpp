// The portable path of the sketch's integer dot products and upper bounds.
#include "core/sketch_kernels.hpp"

namespace tarnix::core {

void sketch_dots_scalar(const std::int8_t* codes, std::size_t stride, std::size_t count,
                        const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                        std::size_t dots_stride) {
  constexpr std::size_t kChunk = 512;  // products summed in an int32 before it could overflow
  for (std::size_t r = 0; r < count; ++r) {
    const std::int8_t* row = codes + r * stride;
    for (std::size_t q = 0; q < query_count; ++q) {
      const std::int16_t* query = queries[q]->codes.data();
      std::int64_t total = 0;
      for (std::size_t first = 0; first < stride; first += kChunk) {
        const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
        std::int32_t sum = 0;
        for (std::size_t j = first; j < end; ++j) sum += static_cast<std::int32_t>(query[j]) * row[j];
        total += sum;
      }
      dots[q * dots_stride + r] = static_cast<double>(total);
    }
  }
}

bool sketch_uppers_scalar(const SketchedQuery& query, const double* dots, const float* scales,
                          const float* residuals, std::size_t count, double cut, double* uppers) {
  return sketch_uppers_one_by_one(query, dots, scales, residuals, 0, count, cut, uppers);
}

}  // namespace tarnix::core
