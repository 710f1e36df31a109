// The arguments of insert_many converted: many ids in one column, many vectors as a
// matrix or as converted rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/store.hpp"
#include "python/float_matrix.hpp"

namespace tarnix::py {

// A 1-D buffer of 64-bit integers (numpy uint64 or int64) is copied at once; any other
// object is read as a sequence, each item converted as an id argument is (to_u64). A
// failure names the first bad id by its index.
Result<std::vector<std::uint64_t>> to_id_column(Borrowed object);

// The vectors of insert_many: a 2-D float buffer (see FloatMatrix), or a sequence of
// vectors, each converted as a vector argument is.
class RecordVectors {
 public:
  static Result<RecordVectors> convert(Borrowed object);

  std::size_t count() const;
  // The index of the first vector whose length is not `dimension`, if any, and its length.
  std::optional<std::pair<std::size_t, std::size_t>> first_wrong_length(std::size_t dimension) const;

  // Opens the matrix for copying into a store that holds `stored` records now: one run
  // per stretch of rows that fills the store's tail (see Vectorstore::insert_runs). Runs
  // no Python code of the caller's; nothing to do for converted rows.
  Result<base::Done> open_runs(std::size_t stored);
  // Writes vectors first .. first + count - 1 to `out`, where (first, count) is one
  // stretch that insert_runs asks for; cannot fail.
  void write(std::size_t first, std::size_t count, float* out) const;

 private:
  explicit RecordVectors(FloatMatrix matrix) : source_(std::move(matrix)) {}
  explicit RecordVectors(std::vector<std::vector<float>> rows) : source_(std::move(rows)) {}

  std::variant<FloatMatrix, std::vector<std::vector<float>>> source_;
  std::size_t first_run_ = 0;  // the length of the first run; every later one is a block
  std::vector<FloatVector> runs_;
};

}  // namespace tarnix::py
