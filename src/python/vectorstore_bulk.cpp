// The class's bulk methods: many records in one call, and the records copied out.
#include <new>  // std::bad_alloc

#include "python/bulk_arguments.hpp"
#include "python/result_array.hpp"
#include "python/vectorstore_object.hpp"
#include "python/vectorstore_wrappers.hpp"

namespace tarnix::py {
namespace {

constexpr std::string_view kInsertManyParameters[] = {"vectors", "ids"};
constexpr FunctionDescription kInsertMany{
    .function_name = "insert_many",
    .class_name = "Vectorstore",
    .positional_names = kInsertManyParameters,
    .required_positional_count = 2,
};
constexpr FunctionDescription kVectors{
    .function_name = "vectors",
    .class_name = "Vectorstore",
};
constexpr FunctionDescription kIds{
    .function_name = "ids",
    .class_name = "Vectorstore",
};

}  // namespace

// All or nothing, in these steps:
// 1. the store is borrowed for the whole call, so that Python code run by a conversion
//    cannot see it change;
// 2. the ids are converted, all of them, before the vectors: a buffer of vectors is then
//    opened last, and no Python code runs from then until its floats are copied;
// 3. the vectors are converted (a float matrix only opened);
// 4. the counts are compared, then every vector's length checked;
// 5. all the memory the records need is made, and only then does the store grow.
Result<Object> insert_many_wrapper(Borrowed self, const FastcallArguments& call) {
  auto bound = bind<kInsertMany>(call);
  if (!bound) return fail(bound.take_error());
  const auto [vectors_argument, ids_argument] = bound.value();
  // 1.
  auto borrow = ExclusiveBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  core::Vectorstore& store = borrow.value().store();
  // 2.
  auto ids = extract_argument(ids_argument, "ids", to_id_column);
  if (!ids) return fail(ids.take_error());
  // 3.
  auto vectors = extract_argument(vectors_argument, "vectors", RecordVectors::convert);
  if (!vectors) return fail(vectors.take_error());
  // 4.
  if (vectors.value().count() != ids.value().size())
    return fail(value_error("insert_many() got " + std::to_string(vectors.value().count()) + " vectors but " +
                            std::to_string(ids.value().size()) + " ids"));
  if (const auto wrong = vectors.value().first_wrong_length(store.vector_size()))
    return fail(value_error("vector " + std::to_string(wrong->first) + " has length " +
                            std::to_string(wrong->second) + " but vectorstore expects " +
                            std::to_string(store.vector_size())));
  // 5.
  if (auto opened = vectors.value().open_runs(store.size()); !opened) return fail(opened.take_error());
  const RecordVectors& records = vectors.value();
  try {
    store.insert_runs(ids.value(), [&](std::size_t first, std::size_t count, float* room) {
      records.write(first, count, room);
    });
  } catch (const std::bad_alloc&) {
    return fail(memory_error());
  }
  return Object::borrow(Py_None);
}

Result<Object> vectors_wrapper(Borrowed self, const FastcallArguments& call) {
  if (auto bound = bind<kVectors>(call); !bound) return fail(bound.take_error());
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  const core::Vectorstore& store = borrow.value().store();
  auto array = ResultArray<float>::make_matrix(store.size(), store.vector_size());
  if (!array) return fail(array.take_error());
  store.copy_vectors(array.value().data());
  return array.take_value().into_memoryview();
}

Result<Object> ids_wrapper(Borrowed self, const FastcallArguments& call) {
  if (auto bound = bind<kIds>(call); !bound) return fail(bound.take_error());
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  const core::Vectorstore& store = borrow.value().store();
  auto array = ResultArray<std::uint64_t>::make_vector(store.size());
  if (!array) return fail(array.take_error());
  store.copy_ids(array.value().data());
  return array.take_value().into_memoryview();
}

}  // namespace tarnix::py
