// Conversion of bound Python arguments into the core's plain values.
//
// The kinds of parameter and what each accepts are listed in declarations.hpp.  Every
// parameter is converted in declaration order when the call's Arguments are built, so the
// first bad argument in that order is the one reported; resources taken for earlier parameters
// (array reservations, copies) are released when the Arguments go.  A TypeError raised while
// converting is replaced by one prefixed "argument '<name>': ".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "em/background.hpp"
#include "binding.hpp"
#include "declarations.hpp"
#include "em/em_engine.hpp"
#include "engine/engine.hpp"
#include "engine/starts.hpp"
#include "py.hpp"
#include "reservations.hpp"

namespace velmora::py {

// The name of the capsules that hold an engine model (_engine_model).
inline constexpr const char* kModelCapsule = "velmora_core.engine_model";

// What such a capsule holds: the model, and the rule that reads its starts from spectra where
// the description gave one.
struct EngineModel {
  engine::Model model;
  std::optional<engine::StartRule> starts;
};

// The elements of a one-dimensional float64 array (any strides), copied.
std::vector<double> copy_elements(PyArrayObject* array);

// An in-place array: the caller's array and the owned copy the core works on.
struct InPlaceArray {
  PyArrayObject* array;
  std::vector<double> values;
};

// The converted arguments of one call.  Holds the call's array reservations until it is
// destroyed.  The accessors name a parameter of the declaration and expect its kind.
class Arguments {
 public:
  // Binds the call's arguments and converts every parameter; throws PythonError on the first
  // failure.
  Arguments(const FunctionDecl& function, PyObject* args, PyObject* kwargs);

  const std::vector<double>& array(const char* name);  // a read-only array
  InPlaceArray& in_place(const char* name);
  Flags flag_list(const char* name);  // moved out
  bool flag(const char* name);
  double real(const char* name);
  std::uint64_t count(const char* name);
  std::uint8_t background_code(const char* name);
  BasisList basis_list(const char* name);  // moved out; empty for None
  PyObject* callable(const char* name);    // borrowed; null for None
  const engine::Model& model(const char* name);
  const EngineModel& engine_model(const char* name);
  PyObject* mapping(const char* name);  // borrowed

 private:
  using Value = std::variant<std::vector<double>, InPlaceArray, Flags, bool, double,
                             std::uint64_t, std::uint8_t, BasisList, PyObject*,
                             const EngineModel*>;

  Value convert(const ParamDecl& param, PyObject* obj);
  std::vector<double> copy_array(const ParamDecl& param, PyObject* obj, bool in_place,
                                 PyArrayObject** out);
  template <class T>
  T& value(const char* name);

  const FunctionDecl& function_;
  Reservations reservations_;  // released after the values (declared first)
  std::vector<Value> values_;
};

// Writes `values` into the caller's array through its own strides, one element at a time,
// for as many elements as both have.
void write_back(const InPlaceArray& target, std::span<const double> values);

}  // namespace velmora::py
