// The mixture fits: run_em_loop and the per-shape EM entry points.
//
// Each converts its arguments, releases the interpreter lock around the EM fit, and writes
// the fitted parameters and mixing weights back into the caller's arrays only after the fit
// has succeeded, so a failed call leaves them untouched.
#include <exception>

#include "convert.hpp"
#include "em_engine.hpp"
#include "functions.hpp"
#include "gaussian.hpp"

namespace velmora::py {
namespace {

// Runs the fit with the interpreter lock released; exceptions are carried back across.
template <class F>
EmResult without_interpreter_lock(F&& fit) {
  EmResult result;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    result = fit();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
  return result;
}

// (n_iter, ll_history, rel_history, s_tri)
PyObject* em_result_tuple(EmResult&& result) {
  Ref n_iter(check(PyLong_FromUnsignedLongLong(result.n_iter)));
  Ref ll(to_array(std::move(result.ll_history)));
  Ref rel(to_array(std::move(result.rel_history)));
  Ref s_tri(check(PyFloat_FromDouble(result.s_tri)));
  return check(PyTuple_Pack(4, n_iter.get(), ll.get(), rel.get(), s_tri.get()));
}

// The settings that follow the shape's own parameters in every EM entry point.
void read_background(Arguments& a, EmSettings& settings) {
  settings.bg_type = a.background_code("bg_type");
  settings.s_tri = a.real("s_tri", 0.0);
  settings.basis = a.basis_list("spline_basis_preds");
}

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

}  // namespace

const std::vector<FunctionEntry>& module_functions() {
  static const std::vector<FunctionEntry> functions = {
      {&kRunEmLoop, run_em_loop},
  };
  return functions;
}

}  // namespace velmora::py
