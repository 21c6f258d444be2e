// lorentzian_mle and run_lorentzian_em_loop: the Lorentzian single-peak fit and mixture fit.
//
// The single-peak fit runs on the calling thread with the interpreter lock held; the mixture
// fit releases it and writes the fitted parameters and mixing weights back into the caller's
// arrays only after the fit has succeeded, so a failed call leaves them untouched.
#include "em_common.hpp"
#include "functions.hpp"
#include "lorentzian.hpp"

namespace velmora::py {
namespace {

// Whether the Lorentzian fits started from this Python thread write their status line.
thread_local bool status_line_enabled = true;

const Signature kRunLorentzianEmLoop("run_lorentzian_em_loop",
                                     {{"x"},
                                      {"intensity"},
                                      {"x0"},
                                      {"gamma_lo"},
                                      {"pi"},
                                      {"dirichlet_alpha"},
                                      {"fix_x0"},
                                      {"fix_gamma"},
                                      {"x_min"},
                                      {"x_max"},
                                      {"max_iter"},
                                      {"r_eps"},
                                      {"bg_type", "0"},
                                      {"s_tri", "0.0"},
                                      {"spline_basis_preds", "None"}});

const Signature kLorentzianMle("lorentzian_mle", {{"x"},
                                                  {"intensity"},
                                                  {"x0"},
                                                  {"gamma"},
                                                  {"x_min"},
                                                  {"x_max"},
                                                  {"fix_x0", "False"},
                                                  {"fix_gamma", "False"}});

PyObject* run_lorentzian_em_loop(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kRunLorentzianEmLoop, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
    auto x0 = a.in_place_array("x0");
    auto gamma = a.in_place_array("gamma_lo");
    auto pi = a.in_place_array("pi");
    const auto alpha = a.read_only_array("dirichlet_alpha");
    auto fix_x0 = a.flag_list("fix_x0");
    auto fix_gamma = a.flag_list("fix_gamma");
    EmSettings settings;
    settings.window_lo = a.real("x_min");
    settings.window_hi = a.real("x_max");
    settings.max_iter = a.count("max_iter");
    settings.r_eps = a.real("r_eps");
    read_background(a, settings);

    lorentzian::LorentzianShape shape(x0.values, gamma.values, std::move(fix_x0),
                                      std::move(fix_gamma), settings.window_lo,
                                      settings.window_hi, status_line_enabled);
    return run_mixture(x, intensity, shape, {&x0, &gamma}, pi, alpha, settings);
  });
}

PyObject* lorentzian_mle(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kLorentzianMle, args, kwargs);
    const auto x = a.read_only_array("x");
    const auto intensity = a.read_only_array("intensity");
    double x0 = a.real("x0");
    double gamma = a.real("gamma");
    const double x_min = a.real("x_min");
    const double x_max = a.real("x_max");
    const bool fix_x0 = a.flag("fix_x0");
    const bool fix_gamma = a.flag("fix_gamma");

    lorentzian::lorentzian_fit(x, intensity, x0, gamma, x_min, x_max, fix_x0, fix_gamma,
                               status_line_enabled);
    return check(Py_BuildValue("(dd)", x0, gamma));
  });
}

const Signature kLorentzianPredict("lorentzian_predict",
                                   {{"x"}, {"x0"}, {"gamma"}, {"x_min"}, {"x_max"}});

PyObject* lorentzian_predict(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kLorentzianPredict, args, kwargs);
    const auto x = a.read_only_array("x");
    const double x0 = a.real("x0");
    const double gamma = a.real("gamma");
    const double x_min = a.real("x_min");
    const double x_max = a.real("x_max");
    std::vector<double> density(x.size(), 0.0);
    lorentzian::lorentzian_pdf(x, density, x0, gamma, x_min, x_max);
    return to_array(std::move(density));
  });
}

const Signature kStatusLine("_status_line", {{"enabled"}});

PyObject* status_line(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kStatusLine, args, kwargs);
    const bool enabled = a.flag("enabled");
    const bool previous = status_line_enabled;
    status_line_enabled = enabled;
    return check(PyBool_FromLong(previous ? 1 : 0));
  });
}

const FunctionRegistrar kRegisterEm(kRunLorentzianEmLoop, run_lorentzian_em_loop);
const FunctionRegistrar kRegisterPredict(kLorentzianPredict, lorentzian_predict);
const FunctionRegistrar kRegisterStatusLine(kStatusLine, status_line);
const FunctionRegistrar kRegisterMle(kLorentzianMle, lorentzian_mle);

}  // namespace
}  // namespace velmora::py
