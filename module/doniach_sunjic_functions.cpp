// The Doniach-Sunjic functions: run_ds_em_loop, doniach_sunjic_mle, doniach_sunjic_predict.
#include "em/doniach_sunjic_em.hpp"
#include "em_common.hpp"
#include "functions.hpp"

namespace velmora::py {
namespace {

// The centre window and the width and asymmetry bounds.
doniach_sunjic::DsBounds bounds(Arguments& a) {
  doniach_sunjic::DsBounds b{};
  b.x_min = a.real("x_min");
  b.x_max = a.real("x_max");
  b.gamma_min = a.real("gamma_min");
  b.gamma_max = a.real("gamma_max");
  b.alpha_min = a.real("alpha_min");
  b.alpha_max = a.real("alpha_max");
  return b;
}

PyObject* run_ds_em_loop(Arguments& a) {
  const EmSettings settings = em_settings(a, "x_min", "x_max");
  doniach_sunjic::DsShape shape(a.in_place("x0").values, a.in_place("gamma_ds").values,
                                a.in_place("alpha").values, a.flag_list("fix_x0"),
                                a.flag_list("fix_gamma"), a.flag_list("fix_alpha"), bounds(a));
  return run_mixture(a, "x", shape, std::array{"x0", "gamma_ds", "alpha"}, settings);
}

PyObject* doniach_sunjic_mle(Arguments& a) {
  double x0 = a.real("x0");
  double gamma = a.real("gamma");
  double alpha = a.real("alpha");
  const std::vector<double>& x = a.array("x");
  const std::vector<double>& intensity = a.array("intensity");
  const doniach_sunjic::DsBounds box = bounds(a);
  const bool fix_x0 = a.flag("fix_x0");
  const bool fix_gamma = a.flag("fix_gamma");
  const bool fix_alpha = a.flag("fix_alpha");
  run_interruptibly(InterpreterLock::held, x.size(), [&] {
    doniach_sunjic::ds_fit(x, intensity, x0, gamma, alpha, box, fix_x0, fix_gamma, fix_alpha);
  });
  return check(Py_BuildValue("(ddd)", x0, gamma, alpha));
}

PyObject* doniach_sunjic_predict(Arguments& a) {
  const std::vector<double>& x = a.array("x");
  std::vector<double> density(x.size(), 0.0);
  doniach_sunjic::ds_pdf(x, density, a.real("x0"), a.real("gamma"), a.real("alpha"));
  return to_array(std::move(density));
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<run_ds_em_loop>("run_ds_em_loop"),
    Definition::of<doniach_sunjic_mle>("doniach_sunjic_mle"),
    Definition::of<doniach_sunjic_predict>("doniach_sunjic_predict"),
};

}  // namespace
}  // namespace velmora::py
