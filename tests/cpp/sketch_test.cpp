// The sketch's bound holds the exact kernel's score, its integer kernels agree on every
// path, and the pruned search gives the exhaustive search's bits.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/cosine.hpp"
#include "core/kernels.hpp"
#include "core/parallel_search.hpp"
#include "core/pruned_search.hpp"
#include "core/search.hpp"
#include "core/sketch.hpp"
#include "store_helpers.hpp"

namespace tarnix::core {
namespace {

using Vec = std::vector<float>;

enum class Kind { gaussian, one_huge, near_duplicate, wide_range, integers, edge_of_range, sparse };

const char* name_of(Kind kind) {
  switch (kind) {
    case Kind::gaussian: return "gaussian";
    case Kind::one_huge: return "one_huge";
    case Kind::near_duplicate: return "near_duplicate";
    case Kind::wide_range: return "wide_range";
    case Kind::integers: return "integers";
    case Kind::edge_of_range: return "edge_of_range";
    case Kind::sparse: return "sparse";
  }
  return "?";
}

// A vector of the kind; near duplicates and integers stay close to `base`, so that
// scores crowd near the top where the bound matters most.
Vec make_vector(Kind kind, std::size_t dim, std::mt19937_64& rng, const Vec& base) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> small(-3, 3);
  std::uniform_int_distribution<int> exponent(-60, 60);
  Vec v(dim);
  switch (kind) {
    case Kind::gaussian:
      for (float& x : v) x = normal(rng);
      break;
    case Kind::one_huge:
      // The worst case for one scale per record: every small component codes to zero.
      for (float& x : v) x = normal(rng) * 1e-6f;
      if (dim > 0) v[rng() % dim] = 1e4f * (rng() % 2 ? 1.0f : -1.0f);
      break;
    case Kind::near_duplicate:
      for (std::size_t i = 0; i < dim; ++i) v[i] = base[i] + normal(rng) * 1e-4f;
      break;
    case Kind::wide_range:
      for (float& x : v) x = std::ldexp(normal(rng), exponent(rng));
      break;
    case Kind::integers:
      for (std::size_t i = 0; i < dim; ++i) v[i] = base[i] == 0 ? 0.0f : std::round(base[i] * 3) + small(rng) * (rng() % 8 == 0);
      break;
    case Kind::edge_of_range: {
      // Sums of squares near the limits the margin covers (2^-99 and 2^125), either side.
      const int shift = rng() % 2 ? -52 : 60;
      const float scale = std::ldexp(1.0f, shift) / std::sqrt(static_cast<float>(std::max<std::size_t>(dim, 1)));
      for (float& x : v) x = normal(rng) * scale;
      break;
    }
    case Kind::sparse:
      for (float& x : v) x = rng() % 16 == 0 ? normal(rng) : 0.0f;
      break;
  }
  return v;
}

struct BoundCase {
  std::size_t dim;
  std::size_t queries;
};

class SketchBound : public ::testing::TestWithParam<std::tuple<Kind, BoundCase>> {};

// For every (record, query) pair: the score of the exact kernel lies within est +- bound,
// and for records the bound covers, the bound is finite. About two million pairs in all.
TEST_P(SketchBound, HoldsTheExactScore) {
  const auto [kind, c] = GetParam();
  std::mt19937_64 rng(c.dim * 31 + static_cast<int>(kind));
  constexpr std::size_t kRecords = 1000;
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::size_t checked = 0, covered = 0;
  for (std::size_t q = 0; q < c.queries; ++q) {
    Vec base(c.dim);
    for (float& x : base) x = normal(rng);
    Sketch sketch(c.dim);
    sketch.reserve(kRecords);
    std::vector<Vec> records;
    for (std::size_t r = 0; r < kRecords; ++r) {
      records.push_back(make_vector(kind, c.dim, rng, base));
      sketch.append(records.back().data());
    }
    const Vec query = make_vector(kind, c.dim, rng, base);
    // The query's codes in both forms; the portable kernel reads either.
    for (const QueryCodes form : {QueryCodes::words, QueryCodes::bytes}) {
      const std::optional<SketchedQuery> sketched = sketch_query(sketch, query, form);
      if (!sketched) continue;
      std::vector<double> dots(kRecords);
      const SketchedQuery* const one[] = {&*sketched};
      available_kernels().front()->sketch_dots(sketch.codes(0), sketch.stride(), kRecords, one, 1, dots.data(),
                                               kRecords);
      for (std::size_t r = 0; r < kRecords; ++r) {
        const float score = cosine_similarity(query, records[r]);
        const double estimate = score_estimate(*sketched, sketch.scales()[r], dots[r]);
        const double bound = score_bound(*sketched, estimate, sketch.residuals()[r]);
        ASSERT_LE(std::fabs(static_cast<double>(score) - estimate), bound)
            << name_of(kind) << " dim " << c.dim << " query " << q << " record " << r << " bytes "
            << (form == QueryCodes::bytes);
        ++checked;
        covered += std::isfinite(bound);
      }
    }
  }
  EXPECT_GT(checked, 0u);
  // Zero vectors (a few of the sparse and integer ones) and the records outside the
  // covered range are the only ones left out.
  if (kind != Kind::edge_of_range && kind != Kind::wide_range && kind != Kind::sparse) {
    EXPECT_GT(covered, checked * 9 / 10);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, SketchBound,
    ::testing::Combine(::testing::Values(Kind::gaussian, Kind::one_huge, Kind::near_duplicate, Kind::wide_range,
                                         Kind::integers, Kind::edge_of_range, Kind::sparse),
                       ::testing::Values(BoundCase{1, 120}, BoundCase{3, 120}, BoundCase{64, 40}, BoundCase{65, 40},
                                         BoundCase{768, 8})),
    [](const auto& info) {
      return std::string(name_of(std::get<0>(info.param))) + "_dim" + std::to_string(std::get<1>(info.param).dim);
    });

// Gaussian records are estimated well enough to prune: the bound is a few hundredths.
TEST(SketchBoundSize, IsSmallForGaussianRecords) {
  std::mt19937_64 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t dim : {64u, 128u, 768u}) {
    Sketch sketch(dim);
    sketch.reserve(1);
    Vec record(dim), query(dim);
    for (float& x : record) x = normal(rng);
    for (float& x : query) x = normal(rng);
    sketch.append(record.data());
    for (const QueryCodes form : {QueryCodes::words, QueryCodes::bytes}) {
      const std::optional<SketchedQuery> sketched = sketch_query(sketch, query, form);
      ASSERT_TRUE(sketched);
      EXPECT_LT(score_bound(*sketched, 0.0, sketch.residuals()[0]), 0.03) << dim;
    }
    EXPECT_LT(sketch.margin(), 1e-3) << dim;
  }
}

// Records whose score the margin does not cover are never skipped, and such queries
// take the exhaustive path.
TEST(SketchCoverage, LeavesUncoveredRecordsAndQueriesOut) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<Vec> uncovered = {
      {0, 0, 0}, {1, NAN, 0}, {kInf, 1, 0}, {-kInf, 0, 0}, {1e-42f, 1e-42f, 0}, {3e38f, 0, 0}, {1e-30f, 0, 0}};
  Sketch sketch(3);
  sketch.reserve(uncovered.size());
  for (const Vec& v : uncovered) {
    sketch.append(v.data());
    EXPECT_EQ(sketch.residuals()[sketch.size() - 1], std::numeric_limits<float>::infinity());
    EXPECT_FALSE(sketch_query(sketch, v, QueryCodes::words));
    EXPECT_FALSE(sketch_query(sketch, v, QueryCodes::bytes));
  }
  EXPECT_FALSE(Sketch(0).margin() < 0);
  const Vec none;
  EXPECT_FALSE(sketch_query(Sketch(0), none, QueryCodes::words));
}

// Every path's integer dot products are the exact ones, for queries' codes as words and
// as bytes (each path in the form it takes, the portable path in both), at the largest
// codes and over dimensions whose partial sums would overflow an int32 without the chunks.
TEST(SketchDots, EveryPathGivesTheExactIntegers) {
  std::mt19937_64 rng(11);
  for (const QueryCodes form : {QueryCodes::words, QueryCodes::bytes}) {
    const int largest = form == QueryCodes::bytes ? 127 : 32767;
    for (std::size_t stride : {32u, 64u, 96u, 512u, 544u, 2048u, 4096u, 8192u + 32u}) {
      constexpr std::size_t kCount = 9;
      constexpr std::size_t kQueries = 5;
      std::vector<std::int8_t> codes(stride * kCount);
      for (std::size_t r = 0; r < kCount; ++r) {
        for (std::size_t j = 0; j < stride; ++j) {
          // The first records hold the extreme codes, all of one sign and then of both.
          codes[r * stride + j] = r == 0 ? 127 : r == 1 ? -127 : static_cast<std::int8_t>(rng() % 255 - 127);
        }
      }
      std::vector<SketchedQuery> queries(kQueries);
      for (std::size_t q = 0; q < kQueries; ++q) {
        SketchedQuery& query = queries[q];
        std::int64_t sum = 0;
        for (std::size_t j = 0; j < stride; ++j) {
          const int k = q == 0 ? largest : q == 1 ? -largest : static_cast<int>(rng() % (2 * largest + 1)) - largest;
          query.codes.push_back(static_cast<std::int16_t>(k));
          if (form == QueryCodes::bytes) query.bytes.push_back(static_cast<std::int8_t>(k));
          sum += k;
        }
        query.code_sum = static_cast<double>(sum);
      }
      std::vector<double> expected(kQueries * kCount);
      for (std::size_t q = 0; q < kQueries; ++q) {
        for (std::size_t r = 0; r < kCount; ++r) {
          std::int64_t sum = 0;
          for (std::size_t j = 0; j < stride; ++j) sum += std::int64_t{queries[q].codes[j]} * codes[r * stride + j];
          expected[q * kCount + r] = static_cast<double>(sum);
        }
      }
      // Every count of queries and records, so that every tile and every remainder runs.
      for (const Kernels* kernels : available_kernels()) {
        if (kernels->sketch_query_codes != form && kernels != available_kernels().front()) continue;
        for (std::size_t query_count = 1; query_count <= kQueries; ++query_count) {
          for (std::size_t count = 1; count <= kCount; ++count) {
            std::vector<const SketchedQuery*> pointers;
            for (std::size_t q = 0; q < query_count; ++q) pointers.push_back(&queries[q]);
            std::vector<double> got(query_count * count, -1.0);
            kernels->sketch_dots(codes.data(), stride, count, pointers.data(), query_count, got.data(), count);
            for (std::size_t q = 0; q < query_count; ++q) {
              for (std::size_t r = 0; r < count; ++r) {
                ASSERT_EQ(got[q * count + r], expected[q * kCount + r])
                    << kernels->name << " stride " << stride << " queries " << query_count << " records " << count
                    << " at " << q << ", " << r;
              }
            }
          }
        }
      }
    }
  }
}

// A query in bytes has a bound about twice its words' (on Gaussian records at D = 768,
// enough to keep four times the records and give up); refined by its words, it keeps the
// records its words alone keep.
TEST(PrunedSearch, QueriesInBytesKeepWhatTheirWordsKeep) {
  std::mt19937_64 rng(23);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  constexpr std::size_t kDim = 768, kRecords = 100000;
  Sketch sketch(kDim);
  sketch.reserve(kRecords);
  Vec v(kDim);
  for (std::size_t r = 0; r < kRecords; ++r) {
    for (float& x : v) x = normal(rng);
    sketch.append(v.data());
  }
  for (int q = 0; q < 4; ++q) {
    for (float& x : v) x = normal(rng);
    const std::optional<SketchedQuery> bytes = sketch_query(sketch, v, QueryCodes::bytes);
    ASSERT_TRUE(bytes && bytes->words);
    const SketchedQuery* const one[] = {&*bytes};
    const auto kept = survivors(sketch, one, 0, kRecords, 10);
    ASSERT_TRUE(kept.front()) << "gave up";
    EXPECT_LT(kept.front()->size(), 150u);
    // Where the path takes words, the words alone can be pruned for comparison.
    if (active_kernels().sketch_query_codes == QueryCodes::words) {
      const SketchedQuery* const words[] = {bytes->words.get()};
      const auto alone = survivors(sketch, words, 0, kRecords, 10);
      ASSERT_TRUE(alone.front());
      ASSERT_EQ(alone.front()->size(), kept.front()->size());
      for (std::size_t i = 0; i < kept.front()->size(); ++i)
        EXPECT_EQ((*alone.front())[i].record, (*kept.front())[i].record);
    }
  }
}

// The upper bounds in lanes are score_estimate's and score_bound's, bit for bit, whatever the count (every
// remainder), the signs of the estimates, zero and infinite residuals; and the answer
// whether any reaches the cut is the plain comparison's.
TEST(SketchUppers, EveryPathGivesThePortableBits) {
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const SketchedQuery query{{}, {}, 0.0, 3.1e-6, 0x1p-20, 1.0 + 0x1p-12, 0x1p-40, nullptr};
  constexpr std::size_t kCount = 11;
  for (int trial = 0; trial < 200; ++trial) {
    double dots[kCount];
    float scales[kCount], residuals[kCount];
    for (std::size_t i = 0; i < kCount; ++i) {
      dots[i] = i % 5 == 0 ? 0.0 : std::round(unit(rng) * 3e8);
      scales[i] = i % 7 == 3 ? 0.0f : static_cast<float>(std::fabs(unit(rng)) * 1e-3);
      residuals[i] = i % 4 == 1 ? std::numeric_limits<float>::infinity() : static_cast<float>(std::fabs(unit(rng)) * 0.01);
    }
    const double cut = trial % 3 == 0 ? -std::numeric_limits<double>::infinity() : unit(rng);
    for (std::size_t count = 0; count <= kCount; ++count) {
      double expected[kCount];
      const bool any = sketch_uppers_scalar(query, dots, scales, residuals, count, cut, expected);
      bool plain_any = false;
      for (std::size_t i = 0; i < count; ++i) {
        const double estimate = score_estimate(query, scales[i], dots[i]);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(expected[i]),
                  std::bit_cast<std::uint64_t>(estimate + score_bound(query, estimate, residuals[i])));
        plain_any |= !(expected[i] < cut);
      }
      ASSERT_EQ(any, plain_any);
      for (const Kernels* kernels : available_kernels()) {
        double got[kCount];
        EXPECT_EQ(kernels->sketch_uppers(query, dots, scales, residuals, count, cut, got), any) << kernels->name;
        for (std::size_t i = 0; i < count; ++i)
          ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(expected[i]))
              << kernels->name << " count " << count << " at " << i;
      }
    }
  }
}

std::vector<std::pair<std::uint32_t, std::uint64_t>> bits_of(const std::vector<Hit>& hits) {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> bits;
  for (const Hit& hit : hits) bits.emplace_back(std::bit_cast<std::uint32_t>(hit.score), hit.id);
  return bits;
}

// Clustered records, so that few survive: the sketched searches give the exhaustive
// search's bits, and most records are in fact skipped.
TEST(PrunedSearch, GivesTheExhaustiveBitsAndSkipsMost) {
  std::mt19937_64 rng(5);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  constexpr std::size_t kDim = 33, kCenters = 400, kRecords = 64 * 300 + 13;
  std::vector<Vec> centers(kCenters, Vec(kDim));
  for (Vec& c : centers) for (float& x : c) x = normal(rng);
  std::vector<StoredVector> records;
  for (std::size_t r = 0; r < kRecords; ++r) {
    Vec v = centers[r % kCenters];
    for (float& x : v) x += 0.5f * normal(rng);
    if (r % 101 == 100) v = records[r / 2].vector;  // a duplicate: an exact tie
    records.push_back(StoredVector{v, r % 1000});
  }
  CoreResult<Vectorstore> built = create_store(kDim, records);
  ASSERT_TRUE(built.ok());
  Vectorstore store = built.take_value();
  std::vector<std::vector<Hit>> expected;
  std::vector<Vec> queries;
  for (std::size_t q = 0; q < 12; ++q) {
    Vec v = q % 3 == 0 ? records[q * 37].vector : centers[q % kCenters];
    for (float& x : v) x += 0.05f * normal(rng) * (q % 3 != 0);
    queries.push_back(v);
  }
  const Size top_ks[] = {1, 5, 10, 64, 500};
  for (const Vec& q : queries)
    for (Size k : top_ks) expected.push_back(search(store, q, k).take_value());
  store.build_sketch();
  ASSERT_NE(store.sketch(), nullptr);
  std::size_t e = 0;
  for (const Vec& q : queries) {
    for (Size k : top_ks) {
      EXPECT_EQ(bits_of(search(store, q, k).take_value()), bits_of(expected[e])) << k;
      for (Size threads : {1u, 3u})
        EXPECT_EQ(bits_of(parallel_search(store, q, k, threads).take_value()), bits_of(expected[e])) << k;
      ++e;
    }
  }
  // Few records survive, and pruning all the queries in one pass keeps for each exactly
  // what pruning it alone keeps.
  std::vector<SketchedQuery> sketched;
  for (const Vec& q : queries) sketched.push_back(*sketch_query_for(store, prepare_query(q)));
  std::vector<const SketchedQuery*> all;
  for (const SketchedQuery& q : sketched) all.push_back(&q);
  const auto together = survivors(*store.sketch(), all, 0, store.size(), 10);
  ASSERT_EQ(together.size(), queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) {
    const SketchedQuery* const one[] = {all[q]};
    const auto alone = survivors(*store.sketch(), one, 0, store.size(), 10);
    ASSERT_TRUE(alone.front() && together[q]);
    EXPECT_LT(alone.front()->size(), 200u);
    ASSERT_EQ(alone.front()->size(), together[q]->size());
    for (std::size_t i = 0; i < together[q]->size(); ++i) {
      EXPECT_EQ((*alone.front())[i].record, (*together[q])[i].record);
      EXPECT_EQ((*alone.front())[i].upper, (*together[q])[i].upper);
    }
  }
}

// Inserting after building keeps the sketch current, block by block and in the tail.
TEST(PrunedSearch, FollowsInserts) {
  std::mt19937_64 rng(9);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  Vectorstore store(5);
  store.build_sketch();
  for (std::uint64_t r = 0; r < 64 * 5 + 7; ++r) {
    Vec v(5);
    for (float& x : v) x = normal(rng);
    ASSERT_TRUE(store.insert(v, r).ok());
  }
  ASSERT_EQ(store.sketch()->size(), store.size());
  Vectorstore fresh = create_store(5, {}).take_value();
  for (std::size_t r = 0; r < store.size(); ++r) (void)fresh.insert(stored_vector(store, r), r);
  fresh.build_sketch();
  for (std::size_t r = 0; r < store.size(); ++r) {
    EXPECT_EQ(store.sketch()->residuals()[r], fresh.sketch()->residuals()[r]);
    EXPECT_EQ(store.sketch()->scales()[r], fresh.sketch()->scales()[r]);
  }
  store.drop_sketch();
  EXPECT_EQ(store.sketch(), nullptr);
}

}  // namespace
}  // namespace tarnix::core
