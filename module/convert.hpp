// Conversion of bound Python arguments into the core's plain values.
//
// Kinds of parameter and what each accepts:
//   read-only array   a one-dimensional float64 ndarray, any layout; copied at entry
//   in-place array    the same, and writeable; copied at entry, written back after success
//   flag list         a sequence (not str) of bool or numpy.bool_ items
//   flag              a bool or numpy.bool_
//   real              anything float() accepts
//   count             a non-negative integer (or an object with __index__)
//   background code   an integer 0..255
//   basis list        None, or a sequence (not str) of sequences (not str) of reals
//
// Parameters are converted in declaration order, so callers ask for them in that order.  A
// TypeError raised while converting is replaced by one prefixed "argument '<name>': ".
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "background.hpp"
#include "binding.hpp"
#include "em_engine.hpp"
#include "py.hpp"
#include "reservations.hpp"

namespace velmora::py {

// An in-place array: the caller's array and the owned copy the core works on.
struct InPlaceArray {
  PyArrayObject* array;
  std::vector<double> values;
};

// The arguments of one call, bound to the function's parameters.  Holds the call's array
// reservations until it is destroyed.
class Arguments {
 public:
  Arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

  std::vector<double> read_only_array(const char* name);
  InPlaceArray in_place_array(const char* name);
  Flags flag_list(const char* name);
  bool flag(const char* name);  // default False
  double real(const char* name, double default_value = 0.0);
  std::uint64_t count(const char* name);
  std::uint8_t background_code(const char* name);  // default 0
  BasisList basis_list(const char* name);          // default None: no basis vectors

 private:
  PyObject* get(const char* name) const;
  std::vector<double> array(const char* name, bool in_place, PyArrayObject** out);

  const Signature& signature_;
  std::vector<PyObject*> bound_;
  Reservations reservations_;
};

// Writes `values` into the caller's array through its own strides, one element at a time,
// for as many elements as both have.
void write_back(const InPlaceArray& target, std::span<const double> values);

}  // namespace velmora::py
