// The kernel's scores are compared bit for bit: the search order depends on their last bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/cosine.hpp"

namespace tarnix::core {
namespace {

using Vec = std::vector<float>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// One float32 operation at a time: each step is done in double and rounded once to float,
// which is exact for a single +, *, / or sqrt of floats. Strictly left to right, from -0.0.
float op_add(float x, float y) { return static_cast<float>(double{x} + double{y}); }
float op_mul(float x, float y) { return static_cast<float>(double{x} * double{y}); }
float op_div(float x, float y) { return static_cast<float>(double{x} / double{y}); }
float op_sqrt(float x) { return static_cast<float>(std::sqrt(double{x})); }

float reference_cosine(const Vec& a, const Vec& b) {
  float dot = -0.0f, sa = -0.0f, sb = -0.0f;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) dot = op_add(dot, op_mul(a[i], b[i]));
  for (float x : a) sa = op_add(sa, op_mul(x, x));
  for (float x : b) sb = op_add(sb, op_mul(x, x));
  if (sa == 0.0f || sb == 0.0f) return 0.0f;
  return op_div(dot, op_mul(op_sqrt(sa), op_sqrt(sb)));
}

struct KernelCase {
  const char* name;
  Vec a, b;
  double expected;  // NaN means "any NaN"; otherwise compared bit for bit once narrowed
};

TEST(CosineSimilarity, KnownValues) {
  const KernelCase cases[] = {
      {"general", {1, 2, 3}, {4, 5, 6}, 0.9746317863464355},
      {"self is one ulp below one", {1, 2, 3}, {1, 2, 3}, 0.9999999403953552},
      {"self exactly one", {3, 4}, {3, 4}, 1.0},
      {"opposite", {1, 2, 3}, {-1, -2, -3}, -0.9999999403953552},
      {"orthogonal", {1, 0}, {0, 1}, 0.0},
      // A dot product of negative zeros stays -0.0 because the sum starts at -0.0.
      {"orthogonal, negative zero dot", {-1, 0}, {0, -1}, -0.0},
      {"unequal lengths use the common length", {3, 4, 12}, {3, 4}, 25.0f / 65.0f},
      {"empty", {}, {}, 0.0},
      {"zero vector", {0, 0}, {1, 2}, 0.0},
      {"zero vector both", {0, 0}, {0, 0}, 0.0},
      {"negative zeros", {-0.0f, -0.0f}, {1, 2}, 0.0},
      {"zero second operand", {1, 2}, {-0.0f, 0}, 0.0},
      {"squares underflow", {1e-23f}, {1}, 0.0},
      {"squares overflow both", {1e20f}, {1e20f}, std::nan("")},
      {"square overflows one norm", {1e20f, 1}, {1, 1}, 0.0},
      {"NaN element", {kNaN, 1}, {1, 1}, std::nan("")},
      {"NaN in second", {1, 1}, {1, kNaN}, std::nan("")},
      {"NaN against zero norm", {kNaN, 1}, {0, 0}, 0.0},
      {"zero norm against NaN", {0, -0.0f}, {kNaN, 1}, 0.0},
      {"infinity", {INFINITY, 1}, {1, 1}, std::nan("")},
  };
  for (const KernelCase& c : cases) {
    SCOPED_TRACE(c.name);
    const float got = cosine_similarity(c.a, c.b);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(got)) << got;
    } else {
      EXPECT_EQ(bits(got), bits(static_cast<float>(c.expected))) << got;
      EXPECT_EQ(double{got}, c.expected);
    }
  }
}

// Guards the summation order: any vectorised, pairwise or fused form differs in the last bits.
TEST(CosineSimilarity, MatchesStrictReferenceOnRandomVectors) {
  std::mt19937 rng(20240611);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> length_of(1, 77), exponent(-20, 20), pick(0, 9);
  for (int round = 0; round < 4000; ++round) {
    const std::size_t n = static_cast<std::size_t>(length_of(rng)) | 1;  // odd, to leave tails
    Vec a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = std::ldexp(normal(rng), pick(rng) == 0 ? exponent(rng) : 0);
      b[i] = pick(rng) == 0 ? 0.0f : normal(rng);
    }
    switch (pick(rng)) {
      case 0: b = a; break;                                // exact duplicate
      case 1: std::fill(b.begin(), b.end(), 0.0f); break;  // zero operand
      case 2: b.resize(n + 2, 0.5f); break;                // longer second operand
      default: break;
    }
    const float got = cosine_similarity(a, b), want = reference_cosine(a, b);
    ASSERT_EQ(bits(got), bits(want)) << "round " << round << ": " << got << " vs " << want;
  }
}

TEST(CheckedCosineSimilarity, RejectsLengthMismatchNamingBothLengths) {
  const Vec two{1, 2}, one{1};
  CoreResult<float> r = checked_cosine_similarity(two, one);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "vectors have different dimensions (2 vs 1)");
  CoreResult<float> swapped = checked_cosine_similarity(one, two);
  ASSERT_FALSE(swapped.ok());
  EXPECT_EQ(swapped.error().message, "vectors have different dimensions (1 vs 2)");

  CoreResult<float> same = checked_cosine_similarity(Vec{1, 2, 3}, Vec{4, 5, 6});
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(bits(same.value()), bits(static_cast<float>(0.9746317863464355)));
  CoreResult<float> empty = checked_cosine_similarity(Vec{}, Vec{});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(bits(empty.value()), 0u);
}

}  // namespace
}  // namespace tarnix::core

namespace tarnix::core {
namespace {

// All lanes at once, yet each lane the bits of its own strict sum of squares.
TEST(BlockNorms, EachLaneIsItsRecordsStrictNorm) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  for (std::size_t lanes : {1u, 8u, 64u}) {
    for (std::size_t dim : {0u, 1u, 7u, 130u}) {
      std::vector<Vec> records(lanes, Vec(dim));
      std::vector<float> block(lanes * dim);
      for (std::size_t l = 0; l < lanes; ++l) {
        const float scale = l % 3 == 0 ? 1e-23f : (l % 3 == 1 ? 1e20f : 1.0f);  // underflow, overflow
        for (std::size_t j = 0; j < dim; ++j) block[j * lanes + l] = records[l][j] = normal(rng) * scale;
      }
      std::vector<float> norms(lanes, 42.0f);
      block_norms(block.data(), lanes, dim, norms.data());
      for (std::size_t l = 0; l < lanes; ++l)
        EXPECT_EQ(bits(norms[l]), bits(std::sqrt(sum_of_squares(records[l])))) << lanes << " lanes, dim " << dim;
    }
  }
}

}  // namespace
}  // namespace tarnix::core
