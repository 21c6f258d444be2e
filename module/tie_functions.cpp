// The velmora package's private entry points to compiled ties (tie_program.hpp): the table of
// operations, from which the package takes its codes, and the evaluation of one program with
// its derivatives.  A malformed program is the caller's error and raises ValueError.
#include <stdexcept>
#include <vector>

#include "functions.hpp"
#include "engine/tie_program.hpp"

namespace velmora::py {
namespace {

// ((token, code, arity), ...) in the order of the codes.
PyObject* tie_operations(Arguments&) {
  const auto table = ties::op_table();
  Ref out(check(PyTuple_New(static_cast<Py_ssize_t>(table.size()))));
  for (std::size_t code = 0; code < table.size(); ++code) {
    PyObject* item =
        check(Py_BuildValue("(sii)", table[code].token, static_cast<int>(code), table[code].arity));
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(code), item);
  }
  return out.release();
}

// (value, refs, gradient, hessian row by row) of `program` at `values`.
PyObject* tie_evaluate(Arguments& a) {
  const std::vector<double>& values = a.array("values");
  ties::Jet jet;
  try {
    jet = ties::evaluate(ties::decode(a.array("program"), values.size()), values);
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, e.what());
  }
  std::vector<double> refs(jet.refs.begin(), jet.refs.end());
  Ref value(check(PyFloat_FromDouble(jet.value)));
  Ref refs_out(to_array(std::move(refs)));
  Ref gradient(to_array(std::move(jet.gradient)));
  Ref hessian(to_array(std::move(jet.hessian)));
  return check(PyTuple_Pack(4, value.get(), refs_out.get(), gradient.get(), hessian.get()));
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<tie_operations>("_tie_operations"),
    Definition::of<tie_evaluate>("_tie_evaluate"),
};

}  // namespace
}  // namespace velmora::py
