#include "em_common.hpp"

namespace velmora::py {

void read_background(Arguments& args, EmSettings& settings) {
  settings.bg_type = args.background_code("bg_type");
  settings.s_tri = args.real("s_tri", 0.0);
  settings.basis = args.basis_list("spline_basis_preds");
}

PyObject* em_result_tuple(EmResult&& result) {
  Ref n_iter(check(PyLong_FromUnsignedLongLong(result.n_iter)));
  Ref ll(to_array(std::move(result.ll_history)));
  Ref rel(to_array(std::move(result.rel_history)));
  Ref s_tri(check(PyFloat_FromDouble(result.s_tri)));
  return check(PyTuple_Pack(4, n_iter.get(), ll.get(), rel.get(), s_tri.get()));
}

}  // namespace velmora::py
