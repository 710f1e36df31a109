// The class's methods, length, repr and getter: binding and conversion around the core.
#include <algorithm>  // std::min
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/parallel_search.hpp"
#include "core/search.hpp"
#include "core/search_many.hpp"
#include "base/panic.hpp"
#include "python/convert.hpp"
#include "python/interpreter_lock.hpp"
#include "python/result_array.hpp"
#include "python/vectorstore_object.hpp"
#include "python/vectorstore_wrappers.hpp"

namespace tarnix::py {
namespace {

constexpr std::string_view kInsertParameters[] = {"vector", "id"};
constexpr std::string_view kSearchParameters[] = {"vector", "top_k"};
constexpr std::string_view kParallelSearchParameters[] = {"vector", "top_k", "n_threads"};
constexpr std::string_view kSearchManyParameters[] = {"vectors", "top_k", "n_threads"};

constexpr FunctionDescription kInsert{
    .function_name = "insert",
    .class_name = "Vectorstore",
    .positional_names = kInsertParameters,
    .required_positional_count = 2,
};
constexpr FunctionDescription kSearch{
    .function_name = "search",
    .class_name = "Vectorstore",
    .positional_names = kSearchParameters,
    .required_positional_count = 2,
};
constexpr FunctionDescription kParallelSearch{
    .function_name = "parallel_search",
    .class_name = "Vectorstore",
    .positional_names = kParallelSearchParameters,
    .required_positional_count = 2,
};

constexpr KeywordOnlyParameterDescription kSearchManyKeywords[] = {{.name = "as_arrays", .required = false}};
constexpr FunctionDescription kSearchMany{
    .function_name = "search_many",
    .class_name = "Vectorstore",
    .positional_names = kSearchManyParameters,
    .required_positional_count = 2,
    .keyword_only = kSearchManyKeywords,
};

Result<std::optional<core::Size>> optional_thread_count(PyObject* n_threads_argument) {
  if (is_absent(n_threads_argument)) return std::optional<core::Size>{};
  auto given = extract_argument(n_threads_argument, "n_threads", to_size);
  if (!given) return fail(given.take_error());
  return std::optional<core::Size>{given.value()};
}

// What both searches receive: the store borrowed for reading, then the query and top_k.
struct SearchRequest {
  SharedBorrow borrow;
  std::vector<float> query;
  core::Size top_k;
};

Result<SearchRequest> search_request(Borrowed self, PyObject* vector_argument, PyObject* top_k_argument) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  auto query = extract_argument(vector_argument, "vector", [](Borrowed o) { return to_float_vector(o); });
  if (!query) return fail(query.take_error());
  auto top_k = extract_argument(top_k_argument, "top_k", to_size);
  if (!top_k) return fail(top_k.take_error());
  return SearchRequest{borrow.take_value(), query.take_value().take_floats(), top_k.value()};
}

// A flag left out is false; anything but a bool is refused, as a mistyped flag is
// more likely a slip than a wish.
Result<bool> optional_flag(Borrowed argument) {
  if (argument.get() == nullptr) return false;
  if (!PyBool_Check(argument.get()))
    return fail(PyErr::cast_failure(argument, reinterpret_cast<PyObject*>(&PyBool_Type)));
  return argument.get() == Py_True;
}

// The hits of every query as two arrays of rows, scores and ids; every list holds
// min(top_k, len(store)) hits.
Result<Object> hit_arrays(const std::vector<std::vector<core::Hit>>& lists, std::size_t columns) {
  auto scores = ResultArray<float>::make_matrix(lists.size(), columns);
  if (!scores) return fail(scores.take_error());
  auto ids = ResultArray<std::uint64_t>::make_matrix(lists.size(), columns);
  if (!ids) return fail(ids.take_error());
  float* score = scores.value().data();
  std::uint64_t* id = ids.value().data();
  for (const std::vector<core::Hit>& hits : lists) {
    base::check(hits.size() == columns, "a query got a number of hits of its own");
    for (const core::Hit& hit : hits) {
      *score++ = hit.score;
      *id++ = hit.id;
    }
  }
  auto score_view = scores.take_value().into_memoryview();
  if (!score_view) return fail(score_view.take_error());
  auto id_view = ids.take_value().into_memoryview();
  if (!id_view) return fail(id_view.take_error());
  return new_or_panic(PyTuple_Pack(2, score_view.value().get(), id_view.value().get()));
}

}  // namespace

Result<Object> insert_wrapper(Borrowed self, const FastcallArguments& call) {
  auto bound = bind<kInsert>(call);
  if (!bound) return fail(bound.take_error());
  const auto [vector_argument, id_argument] = bound.value();
  // Held while converting, so that Python code run by the conversion cannot see a
  // half-inserted record.
  auto borrow = ExclusiveBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  // An exact int id converts without running Python code, so a float buffer can stay
  // open until the floats go straight into the store.
  const BufferUse use =
      PyLong_CheckExact(id_argument) ? BufferUse::write_before_python_runs : BufferUse::copy_at_once;
  auto vector = extract_argument(vector_argument, "vector", [use](Borrowed o) { return to_float_vector(o, use); });
  if (!vector) return fail(vector.take_error());
  auto id = extract_argument(id_argument, "id", to_u64);
  if (!id) return fail(id.take_error());
  const FloatVector& floats = vector.value();
  auto inserted = borrow.value().store().insert_written(floats.size(), id.value(),
                                                        [&](float* room) { floats.write_to(room); });
  if (!inserted) return fail(value_error(std::move(inserted.error().message)));
  return Object::borrow(Py_None);
}

Result<Object> search_wrapper(Borrowed self, const FastcallArguments& call) {
  auto bound = bind<kSearch>(call);
  if (!bound) return fail(bound.take_error());
  const auto [vector_argument, top_k_argument] = bound.value();
  auto request = search_request(self, vector_argument, top_k_argument);
  if (!request) return fail(request.take_error());
  const SearchRequest& r = request.value();
  auto hits = core::search(r.borrow.store(), r.query, r.top_k);
  if (!hits) return fail(value_error(std::move(hits.error().message)));
  return from_hits(hits.value());
}

// Workers never touch Python objects; this thread keeps the interpreter lock throughout,
// waiting for them included.
Result<Object> parallel_search_wrapper(Borrowed self, const FastcallArguments& call) {
  auto bound = bind<kParallelSearch>(call);
  if (!bound) return fail(bound.take_error());
  const auto [vector_argument, top_k_argument, n_threads_argument] = bound.value();
  auto request = search_request(self, vector_argument, top_k_argument);
  if (!request) return fail(request.take_error());
  auto n_threads = optional_thread_count(n_threads_argument);
  if (!n_threads) return fail(n_threads.take_error());
  const SearchRequest& r = request.value();
  auto hits = core::parallel_search(r.borrow.store(), r.query, r.top_k, n_threads.value());
  if (!hits) return fail(value_error(std::move(hits.error().message)));
  return from_hits(hits.value());
}

// Every argument is converted while the lock is held; the scoring, which may take
// seconds, runs without it, so other Python threads go on meanwhile. The store stays
// borrowed throughout: an insert from one of them fails as long as the call lasts.
Result<Object> search_many_wrapper(Borrowed self, const FastcallArguments& call) {
  auto bound = bind<kSearchMany>(call);
  if (!bound) return fail(bound.take_error());
  const auto [vectors_argument, top_k_argument, n_threads_argument, as_arrays_argument] = bound.value();
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  auto queries = extract_argument(vectors_argument, "vectors", to_query_batch);
  if (!queries) return fail(queries.take_error());
  auto top_k = extract_argument(top_k_argument, "top_k", to_size);
  if (!top_k) return fail(top_k.take_error());
  auto n_threads = optional_thread_count(n_threads_argument);
  if (!n_threads) return fail(n_threads.take_error());
  auto as_arrays = extract_argument(as_arrays_argument, "as_arrays", optional_flag);
  if (!as_arrays) return fail(as_arrays.take_error());
  const std::vector<std::span<const float>> views(queries.value().begin(), queries.value().end());
  auto hits = [&] {
    const InterpreterLockReleased released;
    return core::search_many(borrow.value().store(), views, top_k.value(), n_threads.value());
  }();
  if (!hits) return fail(value_error(std::move(hits.error().message)));
  if (as_arrays.value())
    return hit_arrays(hits.value(), std::min<std::size_t>(top_k.value(), borrow.value().store().size()));
  return from_hit_lists(hits.value());
}

Result<Py_ssize_t> length_wrapper(Borrowed self) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  return static_cast<Py_ssize_t>(borrow.value().store().size());
}

Result<Object> repr_wrapper(Borrowed self) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  const core::Vectorstore& store = borrow.value().store();
  return from_text("Vectorstore(vector_size=" + std::to_string(store.vector_size()) +
                   ", len=" + std::to_string(store.size()) + ")");
}

Result<Object> vector_size_wrapper(Borrowed self) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  return from_size(borrow.value().store().vector_size());
}

}  // namespace tarnix::py
