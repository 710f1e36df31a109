// The portable path of the sketch's integer dot products.
#include "core/sketch_kernels.hpp"

namespace tarnix::core {

void sketch_dots_scalar(const std::int8_t* codes, std::size_t stride, std::size_t count, const std::int16_t* query,
                        double* dots) {
  constexpr std::size_t kChunk = 512;  // products summed in an int32 before it could overflow
  for (std::size_t r = 0; r < count; ++r) {
    const std::int8_t* row = codes + r * stride;
    std::int64_t total = 0;
    for (std::size_t first = 0; first < stride; first += kChunk) {
      const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
      std::int32_t sum = 0;
      for (std::size_t j = first; j < end; ++j) sum += static_cast<std::int32_t>(query[j]) * row[j];
      total += sum;
    }
    dots[r] = static_cast<double>(total);
  }
}

}  // namespace tarnix::core
