// The one declaration of every function of the module.
//
// A function is declared once: its name, its parameters in order (name, kind, default), the
// kind of its result and a few lines for the type stub.  Everything else is derived from it:
//   - the binding of call arguments by position and keyword, with the interpreter's wording
//     of binding errors (binding.cpp);
//   - the conversion of every parameter, in declaration order, so the first bad argument in
//     that order is the one reported (convert.cpp);
//   - the text signature that `inspect.signature` reads (the function's docstring);
//   - the type stub velmora_core.pyi (stub_text, written at build time by stubgen.cpp).
//
// This file knows nothing of Python, so the stub generator can use it without the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::py {

// What a parameter accepts and how the core holds it.
enum class Kind : std::uint8_t {
  read_only_array,  // a one-dimensional float64 ndarray, any layout; copied at entry
  in_place_array,   // the same, and writeable; copied at entry, written back after success
  flag_list,        // a sequence (not str) of bool or numpy.bool_ items
  flag,             // a bool or numpy.bool_
  real,             // anything float() accepts
  count,            // a non-negative integer (or an object with __index__)
  background_code,  // an integer 0..255
  basis_list,       // None, or a sequence (not str) of sequences (not str) of reals
  callable,         // None, or a callable object (borrowed for the call)
  model,            // an engine model made by _engine_model (borrowed for the call)
  mapping,          // a dict (borrowed for the call), read by the function's body
};

// What a function returns.
enum class Returns : std::uint8_t {
  em_result,  // (n_iter, ll_history, rel_history, s_tri)
  pair,       // two floats
  triple,     // three floats
  profile,    // a new one-dimensional float64 array
  flag,       // a bool
  count,      // an int
  nothing,      // None
  model,          // an engine model (an opaque object)
  engine_fit,     // (iterations, log_likelihood, converged, decrement, status, evaluations)
  real,           // a float
  arrays,         // a dict of new float64 arrays
  array_pair,     // two new float64 arrays
  shape_table,    // a tuple of dicts, one per shape
  follow_table,   // a tuple of dicts, one per kind of term that follows the peaks
  tie_operations,  // ((token, code, arity), ...)
  tie_jet,         // (value, refs, gradient, hessian), the last three new arrays
};

struct ParamDecl {
  const char* name;
  Kind kind;
  const char* default_text = nullptr;  // as written in the signature; null when required
};

struct FunctionDecl {
  const char* name;
  std::vector<ParamDecl> params;  // in order; the required ones come first
  Returns returns;
  const char* stub_doc;  // documentation of the stub only; the runtime docstring is the
                         // text signature alone

  // Index of the parameter called `name`, or params.size() when there is none.
  std::size_t index_of(std::string_view name) const;
  // "name(a, b, c=0)": the signature as the docstring and the stub show it.
  std::string signature_text() const;
  // A private function (leading underscore) is not listed in `__all__`.
  bool is_private() const { return name[0] == '_'; }
};

// Every function, in the order in which the module adds them (and lists them in `__all__`).
const std::vector<FunctionDecl>& declarations();

// The declaration of the function called `name`; throws std::out_of_range when there is none.
const FunctionDecl& declaration(std::string_view name);

// The text of the type stub velmora_core.pyi.
std::string stub_text();

}  // namespace velmora::py
