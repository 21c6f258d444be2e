// Binding of Python call arguments to a function's parameters.
//
// Every parameter is positional-or-keyword.  Binding follows the function's declaration
// (declarations.hpp) and words its TypeErrors as the interpreter words them for its own
// functions.
#pragma once

#include <vector>

#include "declarations.hpp"
#include "py.hpp"

namespace velmora::py {

// Binds the call's arguments.  Entry i is the object given for parameter i (borrowed), or null
// when an optional parameter was omitted.  Throws PythonError with the TypeError of a missing
// required parameter, a surplus positional argument, an unknown keyword or a parameter given
// twice.
std::vector<PyObject*> bind(const FunctionDecl& function, PyObject* args, PyObject* kwargs);

}  // namespace velmora::py
