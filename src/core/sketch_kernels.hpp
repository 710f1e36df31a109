// The integer dot products of a query's codes with records' codes: exact on every path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix::core {

// dots[r] = sum over j < stride of query[j] * codes[r * stride + j], for r < count. The
// stride is a multiple of 32; |query[j]| <= 32767 and |codes| <= 127, so partial sums of
// up to 512 products fit an int32 and every path gives the same, exact, integers, handed
// over as doubles (every integer below 2^53 is one) for the float64 bound arithmetic.
using SketchDots = void (*)(const std::int8_t* codes, std::size_t stride, std::size_t count,
                            const std::int16_t* query, double* dots);

void sketch_dots_scalar(const std::int8_t* codes, std::size_t stride, std::size_t count, const std::int16_t* query,
                        double* dots);
void sketch_dots_sse2(const std::int8_t* codes, std::size_t stride, std::size_t count, const std::int16_t* query,
                      double* dots);
void sketch_dots_avx2(const std::int8_t* codes, std::size_t stride, std::size_t count, const std::int16_t* query,
                      double* dots);

}  // namespace tarnix::core
