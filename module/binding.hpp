// Binding of Python call arguments to a function's parameters.
//
// Every parameter is positional-or-keyword.  A function is described once by its name and
// parameter list (with the default of each optional parameter as it reads in the signature);
// the same description gives the text signature that `inspect.signature` reads and the
// binding with the interpreter's customary TypeErrors.
#pragma once

#include <string>
#include <vector>

#include "py.hpp"

namespace velmora::py {

struct Param {
  const char* name;
  const char* default_text = nullptr;  // as written in the signature; null when required
};

class Signature {
 public:
  Signature(const char* function, std::vector<Param> params);

  const char* function() const { return function_; }
  std::size_t size() const { return params_.size(); }
  const Param& param(std::size_t i) const { return params_[i]; }

  // The docstring carrying only the text signature: "name(a, b, c=0)\n--\n\n".
  const char* doc() const { return doc_.c_str(); }

  // Binds the call's arguments.  Entry i is the object given for parameter i (borrowed), or
  // null when an optional parameter was omitted.  Throws PythonError with a TypeError
  // worded as the interpreter words it for its own functions.
  std::vector<PyObject*> bind(PyObject* args, PyObject* kwargs) const;

 private:
  const char* function_;
  std::vector<Param> params_;
  std::size_t required_;
  std::string doc_;
};

}  // namespace velmora::py
