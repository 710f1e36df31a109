// The kernels of each instruction-set path, in one table, and the one choice among them.
#pragma once

#include <span>
#include <string>

#include "base/expected.hpp"
#include "core/score_batches.hpp"
#include "core/score_blocks.hpp"
#include "core/sketch_kernels.hpp"
#include "core/write_block.hpp"

namespace tarnix::core {

// One path: its name and its kernels. Every path gives the portable one's bits; they
// differ only in how many records and elements they work on at once.
struct Kernels {
  const char* name;
  ScoreBlocks score_blocks;
  ScoreBatches score_batches;  // many queries at once, each with score_blocks' bits
  WriteBlock write_block;
  SketchDots sketch_dots;  // the sketch's integer estimates, exact on every path
  SketchUppers sketch_uppers;  // and the upper bounds they give, with score_bound's bits
  QueryCodes sketch_query_codes;  // how sketch_dots takes the queries' codes
  SketchDots sketch_word_dots;    // sketch_dots for queries in words (itself where it takes words)
};

// The paths this processor can run, slowest first; the portable one is always first.
std::span<const Kernels* const> available_kernels();

// The path every search and every store uses, chosen once: the fastest available,
// unless the environment variable TARNIX_KERNEL names another (the tests use it to run
// every path through Python). A name that is not a path of this build, or that this
// processor cannot run, is refused with the reason.
base::Expected<const Kernels*, std::string> chosen_kernels();

// chosen_kernels(), or a panic with its reason.
const Kernels& active_kernels();

}  // namespace tarnix::core
