// The velmora package's private entry points to the registry of the terms that follow the peaks
// (engine/follow_terms.hpp): the table of kinds, from which the package takes their codes,
// parameters and reported quantities, and a kind's loss kernel at given losses.
#include <string>
#include <vector>

#include "engine/follow_terms.hpp"
#include "functions.hpp"

namespace velmora::py {
namespace {

// A C string as a Python str, or None for null.
PyObject* text_or_none(const char* text) {
  if (text == nullptr) Py_RETURN_NONE;
  return check(PyUnicode_FromString(text));
}

// The kind with code `code`, or ValueError.
const engine::FollowKindInfo& kind_of(std::uint64_t code) {
  const auto kinds = engine::follow_kinds();
  if (code >= kinds.size()) {
    raise(PyExc_ValueError, "kind: no term that follows the peaks has the code " +
                                std::to_string(code));
  }
  return kinds[code];
}

// One dict per kind, in the order of their codes: code, name, description, params (each a dict
// of name, unit, description), kernel (whether it is a loss kernel), counts (the name its
// counts are reported under), share and share_unit (those of its share, or None).
PyObject* follow_table(Arguments&) {
  const auto kinds = engine::follow_kinds();
  Ref out(check(PyTuple_New(static_cast<Py_ssize_t>(kinds.size()))));
  for (std::size_t code = 0; code < kinds.size(); ++code) {
    const engine::FollowKindInfo& k = kinds[code];
    Ref params(check(PyTuple_New(static_cast<Py_ssize_t>(k.params.size()))));
    for (std::size_t q = 0; q < k.params.size(); ++q) {
      const engine::FollowParamInfo& p = k.params[q];
      PyObject* item = check(Py_BuildValue("{s:s,s:s,s:s}", "name", p.name, "unit", p.unit,
                                           "description", p.description));
      PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(q), item);
    }
    Ref share(text_or_none(k.share_name));
    Ref share_unit(text_or_none(k.share_unit));
    PyObject* entry = check(Py_BuildValue(
        "{s:i,s:s,s:s,s:O,s:O,s:s,s:O,s:O}", "code", static_cast<int>(code), "name", k.name,
        "description", k.description, "params", params.get(), "kernel",
        k.kernel != nullptr ? Py_True : Py_False, "counts", k.counts_name, "share", share.get(),
        "share_unit", share_unit.get()));
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(code), entry);
  }
  return out.release();
}

// K(t) per eV of the loss kernel of kind `kind` with the term's parameters `params` (as the
// model takes them, x_scale first), at every loss t (eV).
PyObject* follow_kernel(Arguments& a) {
  const engine::FollowKindInfo& kind = kind_of(a.count("kind"));
  const std::vector<double>& t = a.array("t");
  const std::vector<double>& params = a.array("params");
  if (kind.kernel == nullptr) {
    raise(PyExc_ValueError, std::string("kind: the ") + kind.name + " term has no loss kernel");
  }
  if (params.size() != kind.params.size()) {
    raise(PyExc_ValueError, std::string("params: the ") + kind.name + " term takes " +
                                std::to_string(kind.params.size()) + ", got " +
                                std::to_string(params.size()));
  }
  std::vector<double> out(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) out[i] = kind.kernel(t[i], params.data() + 1);
  return to_array(std::move(out));
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<follow_table>("_follow_terms"),
    Definition::of<follow_kernel>("_follow_kernel"),
};

}  // namespace
}  // namespace velmora::py
