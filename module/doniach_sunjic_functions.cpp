// doniach_sunjic_mle and run_ds_em_loop: the Doniach-Sunjic single-peak fit and mixture fit.
//
// The single-peak fit runs on the calling thread with the interpreter lock held; the mixture
// fit releases it and writes the fitted parameters and mixing weights back into the caller's
// arrays only after the fit has succeeded, so a failed call leaves them untouched.
#include "doniach_sunjic.hpp"
#include "em_common.hpp"
#include "functions.hpp"

namespace velmora::py {
namespace {

const Signature kRunDsEmLoop("run_ds_em_loop", {{"x"},
                                                {"intensity"},
                                                {"x0"},
                                                {"gamma_ds"},
                                                {"alpha"},
                                                {"pi"},
                                                {"dirichlet_alpha"},
                                                {"fix_x0"},
                                                {"fix_gamma"},
                                                {"fix_alpha"},
                                                {"x_min"},
                                                {"x_max"},
                                                {"gamma_min"},
                                                {"gamma_max"},
                                                {"alpha_min"},
                                                {"alpha_max"},
                                                {"max_iter"},
                                                {"r_eps"},
                                                {"bg_type", "0"},
                                                {"s_tri", "0.0"},
                                                {"spline_basis_preds", "None"}});

const Signature kDoniachSunjicMle("doniach_sunjic_mle", {{"x"},
                                                         {"intensity"},
                                                         {"x0"},
                                                         {"gamma"},
                                                         {"alpha"},
                                                         {"x_min"},
                                                         {"x_max"},
                                                         {"gamma_min"},
                                                         {"gamma_max"},
                                                         {"alpha_min"},
                                                         {"alpha_max"},
                                                         {"fix_x0", "False"},
                                                         {"fix_gamma", "False"},
                                                         {"fix_alpha", "False"}});

// The six bounds, in parameter order.
doniach_sunjic::DsBounds read_bounds(Arguments& a) {
  doniach_sunjic::DsBounds b{};
  b.x_min = a.real("x_min");
  b.x_max = a.real("x_max");
  b.gamma_min = a.real("gamma_min");
  b.gamma_max = a.real("gamma_max");
  b.alpha_min = a.real("alpha_min");
  b.alpha_max = a.real("alpha_max");
  return b;
}

PyObject* run_ds_em_loop(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kRunDsEmLoop, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
    auto x0 = a.in_place_array("x0");
    auto gamma = a.in_place_array("gamma_ds");
    auto asym = a.in_place_array("alpha");
    auto pi = a.in_place_array("pi");
    const auto dirichlet = a.read_only_array("dirichlet_alpha");
    auto fix_x0 = a.flag_list("fix_x0");
    auto fix_gamma = a.flag_list("fix_gamma");
    auto fix_alpha = a.flag_list("fix_alpha");
    const doniach_sunjic::DsBounds bounds = read_bounds(a);
    EmSettings settings;
    settings.window_lo = bounds.x_min;
    settings.window_hi = bounds.x_max;
    settings.max_iter = a.count("max_iter");
    settings.r_eps = a.real("r_eps");
    read_background(a, settings);

    doniach_sunjic::DsShape shape(x0.values, gamma.values, asym.values, std::move(fix_x0),
                                  std::move(fix_gamma), std::move(fix_alpha), bounds);
    return run_mixture(x, intensity, shape, {&x0, &gamma, &asym}, pi, dirichlet, settings);
  });
}

PyObject* doniach_sunjic_mle(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kDoniachSunjicMle, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
    double x0 = a.real("x0");
    double gamma = a.real("gamma");
    double alpha = a.real("alpha");
    const doniach_sunjic::DsBounds bounds = read_bounds(a);
    const bool fix_x0 = a.flag("fix_x0");
    const bool fix_gamma = a.flag("fix_gamma");
    const bool fix_alpha = a.flag("fix_alpha");

    doniach_sunjic::ds_fit(x, intensity, x0, gamma, alpha, bounds, fix_x0, fix_gamma,
                           fix_alpha);
    return check(Py_BuildValue("(ddd)", x0, gamma, alpha));
  });
}

const Signature kDoniachSunjicPredict("doniach_sunjic_predict",
                                      {{"x"}, {"x0"}, {"gamma"}, {"alpha"}});

PyObject* doniach_sunjic_predict(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kDoniachSunjicPredict, args, kwargs);
    const auto x = a.read_only_array("x");
    const double x0 = a.real("x0");
    const double gamma = a.real("gamma");
    const double alpha = a.real("alpha");
    std::vector<double> density(x.size(), 0.0);
    doniach_sunjic::ds_pdf(x, density, x0, gamma, alpha);
    return to_array(std::move(density));
  });
}

const FunctionRegistrar kRegisterEm(kRunDsEmLoop, run_ds_em_loop);
const FunctionRegistrar kRegisterPredict(kDoniachSunjicPredict, doniach_sunjic_predict);
const FunctionRegistrar kRegisterMle(kDoniachSunjicMle, doniach_sunjic_mle);

}  // namespace
}  // namespace velmora::py
