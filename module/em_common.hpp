// What every EM entry point shares: the settings read from its arguments, running the fit
// without the interpreter lock (interruptibly), the write-back of the fitted values, and the
// result tuple.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "convert.hpp"
#include "em/em_engine.hpp"
#include "interrupt.hpp"
#include "py.hpp"

namespace velmora::py {

// The driver's settings: max_iter, r_eps, the window [lo, hi] named by the function's own
// parameters, and the background (bg_type, s_tri, spline_basis_preds).
EmSettings em_settings(Arguments& args, const char* lo, const char* hi);

// The Python result (n_iter, ll_history, rel_history, s_tri); the histories hand over their
// storage without a copy.
PyObject* em_result_tuple(EmResult&& result);

// Runs the EM fit of `shape` on the grid parameter `grid` and "intensity", with "pi" and
// "dirichlet_alpha", without the interpreter lock and so that Ctrl-C stops it; then writes shape.parameter(j) back
// through the caller's array `params[j]` and the mixing weights through "pi", and returns the
// result tuple.  Nothing is written when the fit fails.
template <class Shape, std::size_t N>
PyObject* run_mixture(Arguments& args, const char* grid, Shape& shape,
                      const std::array<const char*, N>& params, const EmSettings& settings) {
  const std::vector<double>& x = args.array(grid);
  const std::vector<double>& intensity = args.array("intensity");
  InPlaceArray& pi = args.in_place("pi");
  const std::vector<double>& dirichlet_alpha = args.array("dirichlet_alpha");
  const std::size_t work = x.size() * pi.values.size();
  EmResult result = run_interruptibly(InterpreterLock::released, work, [&] {
    return run_em(x, intensity, shape, pi.values, dirichlet_alpha, settings);
  });
  for (std::size_t j = 0; j < N; ++j) write_back(args.in_place(params[j]), shape.parameter(j));
  write_back(pi, pi.values);
  return em_result_tuple(std::move(result));
}

}  // namespace velmora::py
