#include "em_common.hpp"

namespace velmora::py {

EmSettings em_settings(Arguments& args, const char* lo, const char* hi) {
  EmSettings settings;
  settings.max_iter = args.count("max_iter");
  settings.r_eps = args.real("r_eps");
  settings.window_lo = args.real(lo);
  settings.window_hi = args.real(hi);
  settings.bg_type = args.background_code("bg_type");
  settings.s_tri = args.real("s_tri");
  settings.basis = args.basis_list("spline_basis_preds");
  return settings;
}

PyObject* em_result_tuple(EmResult&& result) {
  Ref n_iter(check(PyLong_FromUnsignedLongLong(result.n_iter)));
  Ref ll(to_array(std::move(result.ll_history)));
  Ref rel(to_array(std::move(result.rel_history)));
  Ref s_tri(check(PyFloat_FromDouble(result.s_tri)));
  return check(PyTuple_Pack(4, n_iter.get(), ll.get(), rel.get(), s_tri.get()));
}

}  // namespace velmora::py
