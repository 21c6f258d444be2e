// What every EM entry point shares: running the fit without the interpreter lock, the
// background arguments, and the result tuple.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <span>
#include <utility>

#include "convert.hpp"
#include "em_engine.hpp"
#include "py.hpp"

namespace velmora::py {

// Runs the fit with the interpreter lock released; an exception of the core is carried back
// and rethrown once the lock is held again.
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

// Reads bg_type, s_tri and spline_basis_preds (the last three parameters of every EM entry
// point) into the settings.
void read_background(Arguments& args, EmSettings& settings);

// The Python result (n_iter, ll_history, rel_history, s_tri); the histories hand over their
// storage without a copy.
PyObject* em_result_tuple(EmResult&& result);

// Runs the EM fit of `shape` with the interpreter lock released, then writes its parameter j
// back through the caller's array params[j] and the mixing weights through `pi`, and returns
// the result tuple.  Nothing is written when the fit fails.
template <std::size_t N, class Settings>
PyObject* run_mixture(std::span<const double> x, std::span<const double> intensity,
                      ComponentShape<N, Settings>& shape,
                      const std::array<const InPlaceArray*, N>& params, InPlaceArray& pi,
                      std::span<const double> dirichlet_alpha, const EmSettings& settings) {
  EmResult result = without_interpreter_lock(
      [&] { return run_em(x, intensity, shape, pi.values, dirichlet_alpha, settings); });
  for (std::size_t j = 0; j < N; ++j) write_back(*params[j], shape.parameter(j));
  write_back(pi, pi.values);
  return em_result_tuple(std::move(result));
}

}  // namespace velmora::py
