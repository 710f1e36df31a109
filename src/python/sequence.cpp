// The Sequence class that names what a sequence argument must be.
#include "python/sequence.hpp"

namespace tarnix::py {

PyObject* sequence_type() {
  // Filled under the interpreter lock; if two threads race through the import,
  // the first to finish wins and both see the same class.
  static PyObject* cached = nullptr;
  if (cached) return cached;
  const Object name = new_or_panic(PyUnicode_FromString("collections.abc"));
  const Object module = Object::steal(PyImport_Import(name.get()));
  if (!module) base::panic("failed to import collections.abc: " + PyErr::fetch().describe());
  Object sequence = Object::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!sequence) base::panic("failed to read collections.abc.Sequence: " + PyErr::fetch().describe());
  if (!PyType_Check(sequence.get())) base::panic("collections.abc.Sequence is not a type");
  if (!cached) cached = sequence.release();
  return cached;
}

}  // namespace tarnix::py
