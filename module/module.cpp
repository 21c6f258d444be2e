// Initialisation of the velmora_core extension module.
//
// The module holds its functions and their `__all__` list, nothing else.  It is created once
// per process; initialising it again in the same interpreter returns the same object, and a
// second (sub-)interpreter is refused with ImportError, since the worker pool and the array
// reservations are process-wide.
#define VELMORA_IMPORT_NUMPY
#include "py.hpp"

#include <string>
#include <deque>

#include "functions.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_core",
    "",    // empty docstring
    0,     // no per-module state; a non-negative size makes the interpreter call init again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;
std::int64_t owner_interpreter = -1;

int add_functions(PyObject* module) {
  using velmora::py::Ref;
  Ref all(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  const auto functions = velmora::py::module_functions();
  // The definitions and their docstrings must outlive the function objects (a deque never
  // moves its elements).
  static std::deque<PyMethodDef> defs;
  static std::deque<std::string> docs;
  for (const auto& [decl, call] : functions) {
    // The docstring is the text signature alone.
    docs.push_back(decl->signature_text() + "\n--\n\n");
    defs.push_back({decl->name,
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
                    METH_VARARGS | METH_KEYWORDS, docs.back().c_str()});
    Ref name(PyUnicode_FromString(decl->name));
    if (!name) return -1;
    Ref function(PyCFunction_NewEx(&defs.back(), module, name.get()));
    if (!function) return -1;
    if (PyModule_AddObjectRef(module, decl->name, function.get()) < 0) return -1;
    // Private switches (a leading underscore) are module attributes but not in `__all__`.
    if (!decl->is_private() && PyList_Append(all.get(), name.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_velmora_core(void) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (owner_interpreter != -1 && interpreter != owner_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "velmora_core can only be imported in the first interpreter that "
                    "imported it; sub-interpreters are not supported");
    return nullptr;
  }
  if (the_module != nullptr) {
    Py_INCREF(the_module);
    return the_module;
  }
  import_array();
  if (velmora::py::internal_error_type() == nullptr) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  int added = -1;
  try {
    added = add_functions(module);
  } catch (...) {
    velmora::py::set_error_from_current_exception();
  }
  if (added < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  owner_interpreter = interpreter;
  Py_INCREF(module);  // kept for the life of the process
  the_module = module;
  return module;
}
