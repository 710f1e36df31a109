// Running the module's embedded Python source.
#include "python/host_code.hpp"

#include <string>

#include "base/panic.hpp"

namespace tarnix::py {

Result<Object> run_embedded_module(const char* source, const char* name) {
  // A module's namespace rather than a bare dict: PyPy's JIT treats a module's globals
  // (and the builtins behind them) as constants, and looks a bare dict up every time.
  const Object module = Object::steal(PyModule_New(name));
  if (!module) return fail(PyErr::fetch());
  Object globals = Object::borrow(PyModule_GetDict(module.get()));
  if (!globals) return fail(PyErr::fetch());
  if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0) return fail(PyErr::fetch());
  const std::string file_name = "<" + std::string(name) + ">";
  const Object code = Object::steal(Py_CompileString(source, file_name.c_str(), Py_file_input));
  if (!code) return fail(PyErr::fetch());
  const Object ran = Object::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!ran) return fail(PyErr::fetch());
  return globals;
}

PyObject* host_function(Borrowed namespace_dict, const char* name) {
  PyObject* function = PyDict_GetItemString(namespace_dict.get(), name);  // borrowed
  if (!function) base::panic(std::string(name) + " was not defined");
  return function;
}

}  // namespace tarnix::py
