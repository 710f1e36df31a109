// Reading a vector straight out of a buffer of floats (numpy arrays, array.array,
// memoryview) instead of element by element through iteration.
#pragma once

#include <optional>
#include <vector>

#include "python/object.hpp"

namespace tarnix::py {

// The floats of a one-dimensional, C-contiguous buffer of native float32 or float64,
// exported by an object whose iteration is known to yield exactly those values
// (an exact numpy.ndarray, array.array or memoryview). Nothing, and no error pending,
// for any other object: the caller then converts it the general way, which gives the
// same floats, so only the speed differs.
std::optional<std::vector<float>> read_float_buffer(Borrowed object);

}  // namespace tarnix::py
