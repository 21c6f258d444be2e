// The velmora package's private entry points to the accelerated fit of one spectrum and to
// the observed information of a fitted mixture (accelerated_fit.hpp).  Both run without the
// interpreter lock, so that many spectra fitted on threads of the caller's own do not wait
// for each other.
#include <cmath>
#include <limits>
#include <string>

#include "accelerated_fit.hpp"
#include "em_common.hpp"
#include "functions.hpp"
#include "stop.hpp"

namespace velmora::py {
namespace {

using accelerated::kMaxParams;

[[noreturn]] void bad_length(const char* name, std::size_t got, std::size_t expected) {
  raise(PyExc_ValueError, std::string(name) + ": length " + std::to_string(got) +
                              ", expected " + std::to_string(expected));
}

// The model of a call: shape, grid, counts, window, background columns, settings.
accelerated::Model model_of(Arguments& a, bool one_spectrum = true) {
  accelerated::Model m;
  const std::uint64_t shape = a.count("shape");
  if (shape >= accelerated::kShapeCount) {
    raise(PyExc_ValueError, "shape: expected a code 0 .. 5, got " + std::to_string(shape));
  }
  m.shape = static_cast<accelerated::Shape>(shape);
  m.u = a.array("u");
  m.counts = a.array("counts");
  if (one_spectrum && m.counts.size() != m.u.size()) {
    bad_length("counts", m.counts.size(), m.u.size());
  }
  if (m.u.empty()) raise(PyExc_ValueError, "u: the grid is empty");
  m.lo = a.real("x_min");
  m.hi = a.real("x_max");
  m.basis = a.basis_list("spline_basis_preds");
  for (const std::vector<double>& column : m.basis) {
    if (column.size() != m.u.size()) bad_length("spline_basis_preds", column.size(), m.u.size());
  }
  return m;
}

// Checks the component arrays and the weights of a call against the model.
void check_state(const accelerated::Model& m, const std::array<std::size_t, kMaxParams>& sizes,
                 std::size_t pi_size, const std::array<Flags*, kMaxParams>& flags) {
  const std::size_t n_params = accelerated::parameter_count(m.shape);
  const std::size_t k = sizes[0];
  if (k == 0) raise(PyExc_ValueError, "p0: at least one component is needed");
  static const char* const kNames[] = {"p0", "p1", "p2"};
  for (std::size_t p = 1; p < n_params; ++p) {
    if (sizes[p] != k) bad_length(kNames[p], sizes[p], k);
  }
  for (std::size_t p = 0; p < kMaxParams; ++p) {
    if (p < n_params && flags[p]->size() != k) {
      raise(PyExc_ValueError, "flag list " + std::to_string(p) + ": length " +
                                  std::to_string(flags[p]->size()) + ", expected " +
                                  std::to_string(k));
    }
    if (p >= n_params) flags[p]->assign(k, 0);
  }
  if (pi_size != k + m.basis.size()) bad_length("pi", pi_size, k + m.basis.size());
}

// The fix lists, bounds and switches of a fit, checked with the component arrays of `state`.
void read_settings(Arguments& a, accelerated::Model& m, const accelerated::State& state) {
  m.fixed = {a.flag_list("fix0"), a.flag_list("fix1"), a.flag_list("fix2")};
  check_state(m, {state.params[0].size(), state.params[1].size(), state.params[2].size()},
              state.pi.size(), {&m.fixed[0], &m.fixed[1], &m.fixed[2]});
  const std::vector<double>& bounds = a.array("bounds");
  if (bounds.size() != 2 * kMaxParams) bad_length("bounds", bounds.size(), 2 * kMaxParams);
  std::copy(bounds.begin(), bounds.end(), m.bounds.begin());
  m.full_optimisation = a.flag("use_full_opt");
  m.beta = a.real("beta");
}

// The state from the component arrays p0, p1, p2 and the weights (the arrays a shape does not
// use become zeros of the length of p0).
accelerated::State state_of(accelerated::Shape shape,
                            const std::array<const std::vector<double>*, kMaxParams>& params,
                            const std::vector<double>& pi) {
  accelerated::State state;
  const std::size_t n_params = accelerated::parameter_count(shape);
  for (std::size_t p = 0; p < kMaxParams; ++p) {
    state.params[p] = p < n_params ? *params[p] : std::vector<double>(params[0]->size(), 0.0);
  }
  state.pi = pi;
  return state;
}

PyObject* accelerated_fit(Arguments& a) {
  accelerated::Model m = model_of(a);
  std::array<InPlaceArray*, kMaxParams> params{&a.in_place("p0"), &a.in_place("p1"),
                                              &a.in_place("p2")};
  InPlaceArray& pi = a.in_place("pi");
  accelerated::State state =
      state_of(m.shape, {&params[0]->values, &params[1]->values, &params[2]->values}, pi.values);
  read_settings(a, m, state);
  const double tol = a.real("tol");
  const std::uint64_t max_iter = a.count("max_iter");
  const std::size_t n_params = accelerated::parameter_count(m.shape);
  const std::size_t work = m.u.size() * state.pi.size();
  const accelerated::Outcome outcome = run_interruptibly(InterpreterLock::released, work, [&] {
    return accelerated::fit(m, state, tol, max_iter);
  });
  for (std::size_t p = 0; p < n_params; ++p) write_back(*params[p], state.params[p]);
  write_back(pi, state.pi);
  return check(Py_BuildValue("(KdO)", static_cast<unsigned long long>(outcome.n_iter),
                             outcome.log_likelihood, outcome.converged ? Py_True : Py_False));
}

PyObject* information(Arguments& a) {
  accelerated::Model m = model_of(a);
  const accelerated::State state =
      state_of(m.shape, {&a.array("p0"), &a.array("p1"), &a.array("p2")}, a.array("pi"));
  std::array<Flags, kMaxParams> free{a.flag_list("free0"), a.flag_list("free1"),
                                     a.flag_list("free2")};
  check_state(m, {state.params[0].size(), state.params[1].size(), state.params[2].size()},
              state.pi.size(), {&free[0], &free[1], &free[2]});
  m.beta = a.real("beta");
  const std::size_t work = m.u.size() * state.pi.size();
  accelerated::Information info = run_interruptibly(InterpreterLock::released, work, [&] {
    return accelerated::information(m, state, free);
  });
  Ref score(to_array(std::move(info.score)));
  Ref matrix(to_array(std::move(info.matrix)));
  return check(PyTuple_Pack(2, score.get(), matrix.get()));
}

// Many spectra of one model along a path: each spectrum starts from the fit of the last one
// that could be fitted (warm) or from the given state.  Spectra flagged in `skip` are not
// fitted; a fit that fails is reported and the next one goes on.  Returns the fitted states
// (per spectrum p0, p1, p2 then pi), the outcomes (per spectrum log-likelihood, EM iterations,
// converged, status: 0 fitted, 1 failed, 2 skipped) and per spectrum the observed information
// over its free parameters (not fixed, in peaks with weight) and the weights, or None.
PyObject* fit_spectra(Arguments& a) {
  accelerated::Model m = model_of(a, false);
  const std::size_t n = m.u.size();
  const std::vector<double>& counts = a.array("counts");
  const accelerated::State start =
      state_of(m.shape, {&a.array("p0"), &a.array("p1"), &a.array("p2")}, a.array("pi"));
  read_settings(a, m, start);
  const double tol = a.real("tol");
  const std::uint64_t max_iter = a.count("max_iter");
  const bool warm = a.flag("warm");
  const Flags skip = a.flag_list("skip");
  const std::size_t spectra = skip.size();
  if (counts.size() != spectra * n) bad_length("counts", counts.size(), spectra * n);

  const std::size_t n_params = accelerated::parameter_count(m.shape);
  const std::size_t k = start.params[0].size();
  const std::size_t width = kMaxParams * k + start.pi.size();
  std::vector<double> states(spectra * width, std::numeric_limits<double>::quiet_NaN());
  std::vector<double> outcomes(spectra * 4, 0.0);
  std::vector<std::vector<double>> infos(spectra);
  std::vector<bool> has_info(spectra, false);

  const std::size_t work = n * start.pi.size() * std::max<std::size_t>(spectra, 1);
  run_interruptibly(InterpreterLock::released, work, [&] {
    bool have_previous = false;
    accelerated::State previous;
    for (std::size_t i = 0; i < spectra; ++i) {
      checkpoint();
      double* outcome = &outcomes[4 * i];
      if (skip[i] != 0) {
        outcome[3] = 2.0;
        continue;
      }
      m.counts = std::span<const double>(counts).subspan(i * n, n);
      accelerated::State s = warm && have_previous ? previous : start;
      try {
        const accelerated::Outcome o = accelerated::fit(m, s, tol, max_iter);
        std::array<Flags, kMaxParams> free;
        for (std::size_t p = 0; p < kMaxParams; ++p) {
          free[p].assign(k, 0);
          for (std::size_t j = 0; p < n_params && j < k; ++j) {
            free[p][j] = m.fixed[p][j] == 0 && s.pi[j] > 0.0;
          }
        }
        accelerated::Information info = accelerated::information(m, s, free);
        outcome[0] = o.log_likelihood;
        outcome[1] = static_cast<double>(o.n_iter);
        outcome[2] = o.converged ? 1.0 : 0.0;
        double* row = &states[i * width];
        for (std::size_t p = 0; p < kMaxParams; ++p) {
          std::copy(s.params[p].begin(), s.params[p].end(), row + p * k);
        }
        std::copy(s.pi.begin(), s.pi.end(), row + kMaxParams * k);
        infos[i] = std::move(info.matrix);
        has_info[i] = true;
        bool finite = true;
        for (std::size_t c = 0; c < width; ++c) finite = finite && std::isfinite(row[c]);
        if (finite) {
          previous = std::move(s);
          have_previous = true;
        }
      } catch (const Stopped&) {
        throw;
      } catch (const std::exception&) {
        outcome[3] = 1.0;  // this spectrum could not be fitted; the others go on
      }
    }
  });
  Ref states_out(to_array(std::move(states)));
  Ref outcomes_out(to_array(std::move(outcomes)));
  Ref info_list(check(PyList_New(static_cast<Py_ssize_t>(spectra))));
  for (std::size_t i = 0; i < spectra; ++i) {
    PyObject* item = has_info[i] ? to_array(std::move(infos[i])) : (Py_INCREF(Py_None), Py_None);
    PyList_SET_ITEM(info_list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return check(PyTuple_Pack(3, states_out.get(), outcomes_out.get(), info_list.get()));
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<accelerated_fit>("_accelerated_fit"),
    Definition::of<fit_spectra>("_fit_spectra"),
    Definition::of<information>("_information"),
};

}  // namespace
}  // namespace velmora::py
