// The TSDC functions: run_tsdc_em_loop, tsdc_predict, tsdc_mle_find_root, tsdc_mle_lbfgsb.
//
// The mixture fit runs with the interpreter lock released and writes its parameters and
// mixing weights back only after it has succeeded.  The single-peak fits and the prediction
// keep the lock (their per-point work still runs on the worker pool, which never touches a
// Python object); a fit that fails raises RuntimeError with the fit's message.
#include "em_common.hpp"
#include "functions.hpp"
#include "tsdc.hpp"

namespace velmora::py {
namespace {

PyObject* peak_tuple(const tsdc::TsdcPeak& peak) {
  return check(Py_BuildValue("(ddd)", peak.ea, peak.tau0, peak.tp));
}

const Signature kRunTsdcEmLoop("run_tsdc_em_loop",
                               {{"t"},
                                {"intensity"},
                                {"ea"},
                                {"tau0"},
                                {"tp"},
                                {"pi"},
                                {"dirichlet_alpha"},
                                {"fix_ea"},
                                {"fix_tp"},
                                {"beta"},
                                {"ea_min"},
                                {"ea_max"},
                                {"t_min"},
                                {"t_max"},
                                {"max_iter"},
                                {"r_eps"},
                                {"bg_type", "0"},
                                {"s_tri", "0.0"},
                                {"spline_basis_preds", "None"}});

PyObject* run_tsdc_em_loop(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kRunTsdcEmLoop, args, kwargs);
    const auto t = a.read_only_array("t");
    const auto intensity = a.read_only_array("intensity");
    auto ea = a.in_place_array("ea");
    auto tau0 = a.in_place_array("tau0");
    auto tp = a.in_place_array("tp");
    auto pi = a.in_place_array("pi");
    const auto alpha = a.read_only_array("dirichlet_alpha");
    auto fix_ea = a.flag_list("fix_ea");
    auto fix_tp = a.flag_list("fix_tp");
    tsdc::TsdcShape::Settings shape_settings;
    shape_settings.beta = a.real("beta");
    shape_settings.ea_min = a.real("ea_min");
    shape_settings.ea_max = a.real("ea_max");
    shape_settings.t_min = a.real("t_min");
    shape_settings.t_max = a.real("t_max");
    EmSettings settings;
    settings.max_iter = a.count("max_iter");
    settings.r_eps = a.real("r_eps");
    settings.window_lo = shape_settings.t_min;
    settings.window_hi = shape_settings.t_max;
    read_background(a, settings);

    tsdc::TsdcShape shape(ea.values, tau0.values, tp.values, std::move(fix_ea),
                          std::move(fix_tp), shape_settings);
    EmResult result = without_interpreter_lock(
        [&] { return run_em(t, intensity, shape, pi.values, alpha, settings); });

    write_back(ea, shape.ea());
    write_back(tau0, shape.tau0());
    write_back(tp, shape.tp());
    write_back(pi, pi.values);
    return em_result_tuple(std::move(result));
  });
}

const Signature kTsdcPredict("tsdc_predict", {{"t"}, {"ea"}, {"tau0"}, {"beta"}});

PyObject* tsdc_predict(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kTsdcPredict, args, kwargs);
    const auto t = a.read_only_array("t");
    const double ea = a.real("ea");
    const double tau0 = a.real("tau0");
    const double beta = a.real("beta");
    std::vector<double> out(t.size(), 0.0);
    tsdc::tsdc_pdf(t, out, ea, tau0, beta);
    return to_array(std::move(out));
  });
}

const Signature kTsdcMleFindRoot("tsdc_mle_find_root", {{"t"},
                                                        {"intensity"},
                                                        {"ea"},
                                                        {"tau0"},
                                                        {"tp"},
                                                        {"ea_min"},
                                                        {"ea_max"},
                                                        {"beta"},
                                                        {"fix_ea", "False"},
                                                        {"fix_tp", "False"}});

PyObject* tsdc_mle_find_root(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kTsdcMleFindRoot, args, kwargs);
    const auto t = a.read_only_array("t");
    const auto intensity = a.read_only_array("intensity");
    tsdc::TsdcPeak peak;
    peak.ea = a.real("ea");
    peak.tau0 = a.real("tau0");
    peak.tp = a.real("tp");
    const double ea_min = a.real("ea_min");
    const double ea_max = a.real("ea_max");
    const double beta = a.real("beta");
    const bool fix_ea = a.flag("fix_ea");
    const bool fix_tp = a.flag("fix_tp");
    const tsdc::FitStatus status =
        tsdc::tsdc_fit_find_root(t, intensity, peak, ea_min, ea_max, beta, fix_ea, fix_tp);
    if (!status.ok()) raise(PyExc_RuntimeError, status.error);
    return peak_tuple(peak);
  });
}

const Signature kTsdcMleLbfgsb("tsdc_mle_lbfgsb", {{"t"},
                                                  {"intensity"},
                                                  {"ea"},
                                                  {"tau0"},
                                                  {"tp"},
                                                  {"ea_min"},
                                                  {"ea_max"},
                                                  {"t_min"},
                                                  {"t_max"},
                                                  {"beta"},
                                                  {"fix_ea", "False"},
                                                  {"fix_tp", "False"}});

PyObject* tsdc_mle_lbfgsb(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments a(kTsdcMleLbfgsb, args, kwargs);
    const auto t = a.read_only_array("t");
    const auto intensity = a.read_only_array("intensity");
    tsdc::TsdcPeak peak;
    peak.ea = a.real("ea");
    peak.tau0 = a.real("tau0");
    peak.tp = a.real("tp");
    const double ea_min = a.real("ea_min");
    const double ea_max = a.real("ea_max");
    const double t_min = a.real("t_min");
    const double t_max = a.real("t_max");
    const double beta = a.real("beta");
    const bool fix_ea = a.flag("fix_ea");
    const bool fix_tp = a.flag("fix_tp");
    const tsdc::FitStatus status = tsdc::tsdc_fit_lbfgsb(t, intensity, peak, ea_min, ea_max,
                                                         t_min, t_max, beta, fix_ea, fix_tp);
    if (!status.ok()) raise(PyExc_RuntimeError, status.error);
    return peak_tuple(peak);
  });
}

const FunctionRegistrar kRegisterEm(kRunTsdcEmLoop, run_tsdc_em_loop);
const FunctionRegistrar kRegisterPredict(kTsdcPredict, tsdc_predict);
const FunctionRegistrar kRegisterFindRoot(kTsdcMleFindRoot, tsdc_mle_find_root);
const FunctionRegistrar kRegisterLbfgsb(kTsdcMleLbfgsb, tsdc_mle_lbfgsb);

}  // namespace
}  // namespace velmora::py
