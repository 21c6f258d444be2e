// The pseudo-Voigt functions: run_pv_em_loop, pseudo_voigt_predict,
// pseudo_voigt_mle_conditional_max, pseudo_voigt_mle_full_optimization.
//
// The mixture fit runs with the interpreter lock released and writes its parameters and
// mixing weights back only after it has succeeded, so a failed call leaves the caller's arrays
// untouched.  The prediction and the single-peak fits keep the lock; their independent
// evaluations (grid points, root searches, eta values) still run on the worker pool, which
// never touches a Python object.
#include "em_common.hpp"
#include "functions.hpp"
#include "pseudo_voigt.hpp"

namespace velmora::py {
namespace {

PyObject* triple(double x0, double gamma, double eta) {
  return check(Py_BuildValue("(ddd)", x0, gamma, eta));
}

const Signature kRunPvEmLoop("run_pv_em_loop",
                             {{"x"},
                              {"intensity"},
                              {"x0"},
                              {"gamma_pv"},
                              {"eta"},
                              {"pi"},
                              {"dirichlet_alpha"},
                              {"fix_x0"},
                              {"fix_gamma"},
                              {"fix_eta"},
                              {"use_full_opt"},
                              {"x_min"},
                              {"x_max"},
                              {"gamma_min"},
                              {"gamma_max"},
                              {"max_iter"},
                              {"r_eps"},
                              {"bg_type", "0"},
                              {"s_tri", "0.0"},
                              {"spline_basis_preds", "None"}});

PyObject* run_pv_em_loop(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kRunPvEmLoop, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
    auto x0 = a.in_place_array("x0");
    auto gamma = a.in_place_array("gamma_pv");
    auto eta = a.in_place_array("eta");
    auto pi = a.in_place_array("pi");
    const auto alpha = a.read_only_array("dirichlet_alpha");
    auto fix_x0 = a.flag_list("fix_x0");
    auto fix_gamma = a.flag_list("fix_gamma");
    auto fix_eta = a.flag_list("fix_eta");
    pseudo_voigt::PseudoVoigtShape::Settings shape_settings;
    shape_settings.use_full_opt = a.flag("use_full_opt");
    shape_settings.x_min = a.real("x_min");
    shape_settings.x_max = a.real("x_max");
    shape_settings.gamma_min = a.real("gamma_min");
    shape_settings.gamma_max = a.real("gamma_max");
    EmSettings settings;
    settings.max_iter = a.count("max_iter");
    settings.r_eps = a.real("r_eps");
    settings.window_lo = shape_settings.x_min;
    settings.window_hi = shape_settings.x_max;
    read_background(a, settings);
    // The full optimisation of each component runs with the EM loop's own cycle limit and
    // tolerance.
    shape_settings.max_iter = settings.max_iter;
    shape_settings.r_eps = settings.r_eps;

    pseudo_voigt::PseudoVoigtShape shape(x0.values, gamma.values, eta.values, std::move(fix_x0),
                                         std::move(fix_gamma), std::move(fix_eta),
                                         shape_settings);
    return run_mixture(x, intensity, shape, {&x0, &gamma, &eta}, pi, alpha, settings);
  });
}

const Signature kPseudoVoigtPredict("pseudo_voigt_predict",
                                    {{"x"}, {"x0"}, {"gamma"}, {"eta"}, {"x_min"}, {"x_max"}});

PyObject* pseudo_voigt_predict(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kPseudoVoigtPredict, args, kwargs);
    const auto x = a.read_only_array("x");
    const double x0 = a.real("x0");
    const double gamma = a.real("gamma");
    const double eta = a.real("eta");
    const double x_min = a.real("x_min");
    const double x_max = a.real("x_max");
    return to_array(pseudo_voigt::pseudo_voigt_predict(x, x0, gamma, eta, x_min, x_max));
  });
}

const Signature kConditionalMax("pseudo_voigt_mle_conditional_max", {{"x"},
                                                                     {"intensity"},
                                                                     {"x0"},
                                                                     {"gamma"},
                                                                     {"eta"},
                                                                     {"x_min"},
                                                                     {"x_max"},
                                                                     {"fix_x0", "False"},
                                                                     {"fix_gamma", "False"},
                                                                     {"fix_eta", "False"}});

PyObject* pseudo_voigt_mle_conditional_max(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kConditionalMax, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
    double x0 = a.real("x0");
    double gamma = a.real("gamma");
    double eta = a.real("eta");
    const double x_min = a.real("x_min");
    const double x_max = a.real("x_max");
    const bool fix_x0 = a.flag("fix_x0");
    const bool fix_gamma = a.flag("fix_gamma");
    const bool fix_eta = a.flag("fix_eta");
    pseudo_voigt::pv_conditional_max(x, intensity, x0, gamma, eta, x_min, x_max, fix_x0,
                                     fix_gamma, fix_eta);
    return triple(x0, gamma, eta);
  });
}

const Signature kFullOptimization("pseudo_voigt_mle_full_optimization", {{"x"},
                                                                         {"intensity"},
                                                                         {"x0"},
                                                                         {"gamma"},
                                                                         {"eta"},
                                                                         {"x_min"},
                                                                         {"x_max"},
                                                                         {"gamma_min"},
                                                                         {"gamma_max"},
                                                                         {"max_iter"},
                                                                         {"r_eps"},
                                                                         {"fix_x0", "False"},
                                                                         {"fix_gamma", "False"},
                                                                         {"fix_eta", "False"}});

PyObject* pseudo_voigt_mle_full_optimization(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kFullOptimization, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
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
    const bool fix_x0 = a.flag("fix_x0");
    const bool fix_gamma = a.flag("fix_gamma");
    const bool fix_eta = a.flag("fix_eta");
    pseudo_voigt::pv_full_optimization(x, intensity, x0, gamma, eta, settings, fix_x0,
                                       fix_gamma, fix_eta);
    return triple(x0, gamma, eta);
  });
}

const FunctionRegistrar kRegisterEm(kRunPvEmLoop, run_pv_em_loop);
const FunctionRegistrar kRegisterPredict(kPseudoVoigtPredict, pseudo_voigt_predict);
const FunctionRegistrar kRegisterConditionalMax(kConditionalMax,
                                                pseudo_voigt_mle_conditional_max);
const FunctionRegistrar kRegisterFullOptimization(kFullOptimization,
                                                  pseudo_voigt_mle_full_optimization);

}  // namespace
}  // namespace velmora::py
