// The pseudo-Voigt functions: run_pv_em_loop, pseudo_voigt_predict,
// pseudo_voigt_mle_conditional_max, pseudo_voigt_mle_full_optimization.
//
// The prediction and the single-peak fits keep the interpreter lock; their independent
// evaluations (grid points, root searches, eta values) still run on the worker pool, which
// never touches a Python object.
#include "em_common.hpp"
#include "functions.hpp"
#include "em/pseudo_voigt_em.hpp"

namespace velmora::py {
namespace {

PyObject* triple(double x0, double gamma, double eta) {
  return check(Py_BuildValue("(ddd)", x0, gamma, eta));
}

PyObject* run_pv_em_loop(Arguments& a) {
  const EmSettings settings = em_settings(a, "x_min", "x_max");
  pseudo_voigt::PseudoVoigtShape::Settings shape_settings;
  shape_settings.use_full_opt = a.flag("use_full_opt");
  shape_settings.x_min = settings.window_lo;
  shape_settings.x_max = settings.window_hi;
  shape_settings.gamma_min = a.real("gamma_min");
  shape_settings.gamma_max = a.real("gamma_max");
  // The full optimisation of each component runs with the EM loop's own cycle limit and
  // tolerance.
  shape_settings.max_iter = settings.max_iter;
  shape_settings.r_eps = settings.r_eps;
  pseudo_voigt::PseudoVoigtShape shape(a.in_place("x0").values, a.in_place("gamma_pv").values,
                                       a.in_place("eta").values, a.flag_list("fix_x0"),
                                       a.flag_list("fix_gamma"), a.flag_list("fix_eta"),
                                       shape_settings);
  return run_mixture(a, "x", shape, std::array{"x0", "gamma_pv", "eta"}, settings);
}

PyObject* pseudo_voigt_predict(Arguments& a) {
  return to_array(pseudo_voigt::pseudo_voigt_predict(a.array("x"), a.real("x0"),
                                                     a.real("gamma"), a.real("eta"),
                                                     a.real("x_min"), a.real("x_max")));
}

PyObject* pseudo_voigt_mle_conditional_max(Arguments& a) {
  double x0 = a.real("x0");
  double gamma = a.real("gamma");
  double eta = a.real("eta");
  const std::vector<double>& x = a.array("x");
  const std::vector<double>& intensity = a.array("intensity");
  const double x_min = a.real("x_min");
  const double x_max = a.real("x_max");
  const bool fix_x0 = a.flag("fix_x0");
  const bool fix_gamma = a.flag("fix_gamma");
  const bool fix_eta = a.flag("fix_eta");
  run_interruptibly(InterpreterLock::held, x.size(), [&] {
    pseudo_voigt::pv_conditional_max(x, intensity, x0, gamma, eta, x_min, x_max, fix_x0,
                                     fix_gamma, fix_eta);
  });
  return triple(x0, gamma, eta);
}

PyObject* pseudo_voigt_mle_full_optimization(Arguments& a) {
  double x0 = a.real("x0");
  double gamma = a.real("gamma");
  double eta = a.real("eta");
  pseudo_voigt::FullOptSettings settings;
  settings.x_min = a.real("x_min");
  settings.x_max = a.real("x_max");
  settings.gamma_min = a.real("gamma_min");
  settings.gamma_max = a.real("gamma_max");
  settings.max_iter = a.count("max_iter");
  settings.r_eps = a.real("r_eps");
  const std::vector<double>& x = a.array("x");
  const std::vector<double>& intensity = a.array("intensity");
  const bool fix_x0 = a.flag("fix_x0");
  const bool fix_gamma = a.flag("fix_gamma");
  const bool fix_eta = a.flag("fix_eta");
  run_interruptibly(InterpreterLock::held, x.size(), [&] {
    pseudo_voigt::pv_full_optimization(x, intensity, x0, gamma, eta, settings, fix_x0,
                                       fix_gamma, fix_eta);
  });
  return triple(x0, gamma, eta);
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<run_pv_em_loop>("run_pv_em_loop"),
    Definition::of<pseudo_voigt_predict>("pseudo_voigt_predict"),
    Definition::of<pseudo_voigt_mle_conditional_max>("pseudo_voigt_mle_conditional_max"),
    Definition::of<pseudo_voigt_mle_full_optimization>("pseudo_voigt_mle_full_optimization"),
};

}  // namespace
}  // namespace velmora::py
