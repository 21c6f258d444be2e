// The TSDC functions: run_tsdc_em_loop, tsdc_predict, tsdc_mle_find_root, tsdc_mle_lbfgsb.
//
// The single-peak fits and the prediction keep the interpreter lock (their per-point work
// still runs on the worker pool, which never touches a Python object); a single-peak fit that
// fails raises RuntimeError with the fit's message.
#include "em_common.hpp"
#include "functions.hpp"
#include "em/tsdc_em.hpp"

namespace velmora::py {
namespace {

PyObject* run_tsdc_em_loop(Arguments& a) {
  const EmSettings settings = em_settings(a, "t_min", "t_max");
  tsdc::TsdcShape::Settings shape_settings;
  shape_settings.beta = a.real("beta");
  shape_settings.ea_min = a.real("ea_min");
  shape_settings.ea_max = a.real("ea_max");
  shape_settings.t_min = settings.window_lo;
  shape_settings.t_max = settings.window_hi;
  tsdc::TsdcShape shape(a.in_place("ea").values, a.in_place("tau0").values,
                        a.in_place("tp").values, a.flag_list("fix_ea"), a.flag_list("fix_tp"),
                        shape_settings);
  return run_mixture(a, "t", shape, std::array{"ea", "tau0", "tp"}, settings);
}

PyObject* tsdc_predict(Arguments& a) {
  const std::vector<double>& t = a.array("t");
  std::vector<double> out(t.size(), 0.0);
  tsdc::tsdc_pdf(t, out, a.real("ea"), a.real("tau0"), a.real("beta"));
  return to_array(std::move(out));
}

// The two single-peak fits differ only in their method and in the tp bounds (t_min, t_max)
// that the quasi-Newton fit takes.
PyObject* tsdc_single_peak(Arguments& a, bool quasi_newton) {
  tsdc::TsdcPeak peak;
  peak.ea = a.real("ea");
  peak.tau0 = a.real("tau0");
  peak.tp = a.real("tp");
  const double ea_min = a.real("ea_min");
  const double ea_max = a.real("ea_max");
  const double beta = a.real("beta");
  const bool fix_ea = a.flag("fix_ea");
  const bool fix_tp = a.flag("fix_tp");
  const std::vector<double>& t = a.array("t");
  const std::vector<double>& intensity = a.array("intensity");
  const double t_min = quasi_newton ? a.real("t_min") : 0.0;
  const double t_max = quasi_newton ? a.real("t_max") : 0.0;
  const tsdc::FitStatus status = run_interruptibly(InterpreterLock::held, t.size(), [&] {
    return quasi_newton ? tsdc::tsdc_fit_lbfgsb(t, intensity, peak, ea_min, ea_max, t_min,
                                                t_max, beta, fix_ea, fix_tp)
                        : tsdc::tsdc_fit_find_root(t, intensity, peak, ea_min, ea_max, beta,
                                                   fix_ea, fix_tp);
  });
  if (!status.ok()) raise(PyExc_RuntimeError, status.error);
  return check(Py_BuildValue("(ddd)", peak.ea, peak.tau0, peak.tp));
}

PyObject* tsdc_mle_find_root(Arguments& a) { return tsdc_single_peak(a, false); }
PyObject* tsdc_mle_lbfgsb(Arguments& a) { return tsdc_single_peak(a, true); }

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<run_tsdc_em_loop>("run_tsdc_em_loop"),
    Definition::of<tsdc_predict>("tsdc_predict"),
    Definition::of<tsdc_mle_find_root>("tsdc_mle_find_root"),
    Definition::of<tsdc_mle_lbfgsb>("tsdc_mle_lbfgsb"),
};

}  // namespace
}  // namespace velmora::py
