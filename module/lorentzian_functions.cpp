// The Lorentzian functions: run_lorentzian_em_loop, lorentzian_mle, lorentzian_predict, and
// the private switch of their status line.
#include "em_common.hpp"
#include "functions.hpp"
#include "em/lorentzian_em.hpp"

namespace velmora::py {
namespace {

// Whether the Lorentzian fits started from this Python thread write their status line.
thread_local bool status_line_enabled = true;

PyObject* run_lorentzian_em_loop(Arguments& a) {
  const EmSettings settings = em_settings(a, "x_min", "x_max");
  lorentzian::LorentzianShape shape(a.in_place("x0").values, a.in_place("gamma_lo").values,
                                    a.flag_list("fix_x0"), a.flag_list("fix_gamma"),
                                    settings.window_lo, settings.window_hi,
                                    status_line_enabled);
  return run_mixture(a, "x", shape, std::array{"x0", "gamma_lo"}, settings);
}

PyObject* lorentzian_mle(Arguments& a) {
  double x0 = a.real("x0");
  double gamma = a.real("gamma");
  const std::vector<double>& x = a.array("x");
  const std::vector<double>& intensity = a.array("intensity");
  const double x_min = a.real("x_min");
  const double x_max = a.real("x_max");
  const bool fix_x0 = a.flag("fix_x0");
  const bool fix_gamma = a.flag("fix_gamma");
  const bool announce = status_line_enabled;  // the calling thread's setting
  run_interruptibly(InterpreterLock::held, x.size(), [&] {
    lorentzian::lorentzian_fit(x, intensity, x0, gamma, x_min, x_max, fix_x0, fix_gamma,
                               announce);
  });
  return check(Py_BuildValue("(dd)", x0, gamma));
}

PyObject* lorentzian_predict(Arguments& a) {
  const std::vector<double>& x = a.array("x");
  std::vector<double> density(x.size(), 0.0);
  lorentzian::lorentzian_pdf(x, density, a.real("x0"), a.real("gamma"), a.real("x_min"),
                             a.real("x_max"));
  return to_array(std::move(density));
}

PyObject* status_line(Arguments& a) {
  const bool previous = status_line_enabled;
  status_line_enabled = a.flag("enabled");
  return check(PyBool_FromLong(previous ? 1 : 0));
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<run_lorentzian_em_loop>("run_lorentzian_em_loop"),
    Definition::of<lorentzian_mle>("lorentzian_mle"),
    Definition::of<lorentzian_predict>("lorentzian_predict"),
    Definition::of<status_line>("_status_line"),
};

}  // namespace
}  // namespace velmora::py
