// Registration of the module's functions.
//
// A function's body is written against its converted Arguments; its file registers the body
// under the function's name with a static Definition.  The module pairs every declaration
// (declarations.hpp) with its body, in declaration order, and refuses to initialise when one
// is missing.
#pragma once

#include <vector>

#include "convert.hpp"
#include "declarations.hpp"
#include "py.hpp"

namespace velmora::py {

// What a function does with its converted arguments: returns a new reference, or throws.
using Body = PyObject* (*)(Arguments&);

struct FunctionEntry {
  const char* name;
  PyCFunctionWithKeywords call;
  const FunctionDecl** declaration;  // set by module_functions()
};

void register_function(const FunctionEntry& entry);

// The CPython entry of body B: binds and converts the call's arguments as its declaration
// says, runs the body, and turns every exception into a Python error.
template <Body B>
struct Entry {
  static inline const FunctionDecl* declaration = nullptr;

  static PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
      Arguments arguments(*declaration, args, kwargs);
      return B(arguments);
    });
  }
};

// Registers body B as the function `name` (at namespace scope of the function's file).
struct Definition {
  template <Body B>
  static Definition of(const char* name) {
    register_function({name, &Entry<B>::call, &Entry<B>::declaration});
    return {};
  }
};

// The declared functions with their entries, in declaration order.  Throws std::logic_error
// naming a declared function without a body, or a body without a declaration.
std::vector<std::pair<const FunctionDecl*, PyCFunctionWithKeywords>> module_functions();

}  // namespace velmora::py
