// run_voigt_em_loop: the Voigt mixture fit.
//
// Converts the arguments, fits with the interpreter lock released, and writes the fitted
// parameters and mixing weights back into the caller's arrays only after the fit has
// succeeded, so a failed call leaves them untouched.
#include "em_common.hpp"
#include "functions.hpp"
#include "voigt.hpp"

namespace velmora::py {
namespace {

const Signature kRunVoigtEmLoop("run_voigt_em_loop", {{"x"},
                                                      {"intensity"},
                                                      {"x0"},
                                                      {"sigma_v"},
                                                      {"gamma_v"},
                                                      {"pi"},
                                                      {"dirichlet_alpha"},
                                                      {"fix_x0"},
                                                      {"fix_sigma"},
                                                      {"fix_gamma"},
                                                      {"x_min"},
                                                      {"x_max"},
                                                      {"sigma_min"},
                                                      {"sigma_max"},
                                                      {"gamma_min"},
                                                      {"gamma_max"},
                                                      {"max_iter"},
                                                      {"r_eps"},
                                                      {"bg_type", "0"},
                                                      {"s_tri", "0.0"},
                                                      {"spline_basis_preds", "None"}});

PyObject* run_voigt_em_loop(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kRunVoigtEmLoop, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
    auto x0 = a.in_place_array("x0");
    auto sigma = a.in_place_array("sigma_v");
    auto gamma = a.in_place_array("gamma_v");
    auto pi = a.in_place_array("pi");
    const auto dirichlet = a.read_only_array("dirichlet_alpha");
    auto fix_x0 = a.flag_list("fix_x0");
    auto fix_sigma = a.flag_list("fix_sigma");
    auto fix_gamma = a.flag_list("fix_gamma");
    voigt::VoigtBounds bounds;
    bounds.x_min = a.real("x_min");
    bounds.x_max = a.real("x_max");
    bounds.sigma_min = a.real("sigma_min");
    bounds.sigma_max = a.real("sigma_max");
    bounds.gamma_min = a.real("gamma_min");
    bounds.gamma_max = a.real("gamma_max");
    EmSettings settings;
    settings.window_lo = bounds.x_min;
    settings.window_hi = bounds.x_max;
    settings.max_iter = a.count("max_iter");
    settings.r_eps = a.real("r_eps");
    read_background(a, settings);

    voigt::VoigtShape shape(x0.values, sigma.values, gamma.values, std::move(fix_x0),
                            std::move(fix_sigma), std::move(fix_gamma), bounds);
    return run_mixture(x, intensity, shape, {&x0, &sigma, &gamma}, pi, dirichlet, settings);
  });
}

const Signature kVoigtPredict("voigt_predict",
                              {{"x"}, {"x0"}, {"sigma"}, {"gamma"}, {"x_min"}, {"x_max"}});

PyObject* voigt_predict(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kVoigtPredict, args, kwargs);
    const auto x = a.read_only_array("x");
    const double x0 = a.real("x0");
    const double sigma = a.real("sigma");
    const double gamma = a.real("gamma");
    const double x_min = a.real("x_min");
    const double x_max = a.real("x_max");
    return to_array(voigt::voigt_predict(x, x0, sigma, gamma, x_min, x_max));
  });
}

const FunctionRegistrar kRegister(kRunVoigtEmLoop, run_voigt_em_loop);
const FunctionRegistrar kRegisterPredict(kVoigtPredict, voigt_predict);

}  // namespace
}  // namespace velmora::py
