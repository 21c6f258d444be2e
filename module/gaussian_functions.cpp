// run_em_loop: the Gaussian mixture fit.
//
// Converts the arguments, fits with the interpreter lock released, and writes the fitted
// parameters and mixing weights back into the caller's arrays only after the fit has
// succeeded, so a failed call leaves them untouched.
#include "em_common.hpp"
#include "functions.hpp"
#include "gaussian.hpp"

namespace velmora::py {
namespace {

const Signature kRunEmLoop("run_em_loop",
                           {{"x"},
                            {"intensity"},
                            {"mu"},
                            {"sigma"},
                            {"pi"},
                            {"dirichlet_alpha"},
                            {"fix_mu"},
                            {"fix_sigma"},
                            {"max_iter"},
                            {"r_eps"},
                            {"x_min"},
                            {"x_max"},
                            {"bg_type", "0"},
                            {"s_tri", "0.0"},
                            {"spline_basis_preds", "None"}});

PyObject* run_em_loop(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kRunEmLoop, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
    auto mu = a.in_place_array("mu");
    auto sigma = a.in_place_array("sigma");
    auto pi = a.in_place_array("pi");
    const auto alpha = a.read_only_array("dirichlet_alpha");
    auto fix_mu = a.flag_list("fix_mu");
    auto fix_sigma = a.flag_list("fix_sigma");
    EmSettings settings;
    settings.max_iter = a.count("max_iter");
    settings.r_eps = a.real("r_eps");
    settings.window_lo = a.real("x_min");
    settings.window_hi = a.real("x_max");
    read_background(a, settings);

    gaussian::GaussianShape shape(mu.values, sigma.values, std::move(fix_mu),
                                  std::move(fix_sigma));
    EmResult result = without_interpreter_lock(
        [&] { return run_em(x, intensity, shape, pi.values, alpha, settings); });

    write_back(mu, shape.mu());
    write_back(sigma, shape.sigma());
    write_back(pi, pi.values);
    return em_result_tuple(std::move(result));
  });
}

const Signature kGaussianPredict("gaussian_predict", {{"x"}, {"mu"}, {"sigma"}});

PyObject* gaussian_predict(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kGaussianPredict, args, kwargs);
    const auto x = a.read_only_array("x");
    const double mu = a.real("mu");
    const double sigma = a.real("sigma");
    return to_array(gaussian::gaussian_predict(x, mu, sigma));
  });
}

const FunctionRegistrar kRegister(kRunEmLoop, run_em_loop);
const FunctionRegistrar kRegisterPredict(kGaussianPredict, gaussian_predict);

}  // namespace
}  // namespace velmora::py
