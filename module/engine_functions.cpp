// The velmora package's private entry points to its fitting engine (engine/engine.hpp) and to
// the shape registry (shapes/registry.hpp).
//
// A model is built once (_engine_model) and handed to every fit of a spectrum with it; it is
// immutable, so fits on several threads share it.  The fits run without the interpreter lock
// and stop on Ctrl-C like every other fit.  A model that does not hold together raises
// ValueError naming what is wrong, before any work.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "convert.hpp"
#include "engine/engine.hpp"
#include "functions.hpp"
#include "interrupt.hpp"
#include "shapes/registry.hpp"
#include "stop.hpp"

namespace velmora::py {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

[[noreturn]] void bad_length(const char* name, std::size_t got, std::size_t expected) {
  raise(PyExc_ValueError, std::string(name) + ": length " + std::to_string(got) +
                              ", expected " + std::to_string(expected));
}

void free_model(PyObject* capsule) {
  delete static_cast<engine::Model*>(PyCapsule_GetPointer(capsule, kModelCapsule));
}

PyObject* engine_model(Arguments& a) {
  engine::ModelInput in;
  in.u = a.array("u");
  in.widths = a.array("widths");
  in.x_min = a.real("x_min");
  in.x_max = a.real("x_max");
  in.shapes = a.array("shapes");
  in.betas = a.array("betas");
  in.roles = a.array("roles");
  in.slots = a.array("slots");
  in.values = a.array("values");
  in.scale = a.array("scale");
  in.offset = a.array("offset");
  in.lower = a.array("lower");
  in.upper = a.array("upper");
  in.tie_code = a.array("tie_code");
  in.tie_start = a.array("tie_start");
  in.tie_target = a.array("tie_target");
  in.columns = a.basis_list("columns");
  in.follows = a.array("follows");
  // The kernel of a loss background on an irregular grid takes up to a second to tabulate, so
  // the model is built like a fit: without the lock, stopped by Ctrl-C.
  const std::size_t work = in.u.size() * (1 + in.follows.size());
  engine::Model* model = nullptr;
  try {
    model = new engine::Model(run_interruptibly(InterpreterLock::released, work, [&] {
      return engine::make_model(std::move(in));
    }));
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, std::string("model: ") + e.what());
  }
  PyObject* capsule = PyCapsule_New(model, kModelCapsule, free_model);
  if (capsule == nullptr) {
    delete model;
    throw PythonError{};
  }
  return capsule;
}

// The counts of one spectrum and a theta, checked against the model.
void check_point(const engine::Model& m, std::size_t counts, std::size_t theta) {
  if (counts != m.n_points()) bad_length("counts", counts, m.n_points());
  if (theta != m.n_theta()) bad_length("theta", theta, m.n_theta());
}

std::size_t work_of(const engine::Model& m) {
  return m.n_points() * (m.peaks.size() + m.columns.size() + m.follows.size());
}

void check_settings(double tol) {
  if (!(tol > 0.0 && tol < 1.0)) {
    raise(PyExc_ValueError, "tol: expected a number between 0 and 1, got " + std::to_string(tol));
  }
}

PyObject* outcome_tuple(const engine::FitOutcome& o) {
  return check(Py_BuildValue("(KdOdiK)", static_cast<unsigned long long>(o.iterations),
                             o.log_likelihood, o.converged() ? Py_True : Py_False, o.decrement,
                             static_cast<int>(o.status),
                             static_cast<unsigned long long>(o.evaluations)));
}

PyObject* report_dict(engine::Report&& r, const engine::ReportOptions& options);

PyObject* engine_fit(Arguments& a) {
  const engine::Model& m = a.model("model");
  const std::vector<double>& counts = a.array("counts");
  InPlaceArray& theta = a.in_place("theta");
  check_point(m, counts.size(), theta.values.size());
  engine::FitSettings settings;
  settings.tolerance = a.real("tol");
  settings.max_iterations = a.count("max_iter");
  check_settings(settings.tolerance);
  engine::ReportOptions options;
  options.curves = a.flag("curves");
  options.quantities = a.flag("quantities");
  std::vector<double> fitted = theta.values;
  auto [outcome, report] = run_interruptibly(InterpreterLock::released, work_of(m), [&] {
    return engine::fit_and_report(m, counts, fitted, settings, options);
  });
  write_back(theta, fitted);
  Ref head(outcome_tuple(outcome));
  Ref dict(report_dict(std::move(report), options));
  return check(PyTuple_Pack(2, head.get(), dict.get()));
}

PyObject* engine_loglik(Arguments& a) {
  const engine::Model& m = a.model("model");
  const std::vector<double>& counts = a.array("counts");
  const std::vector<double>& theta = a.array("theta");
  check_point(m, counts.size(), theta.size());
  const double ll = run_interruptibly(InterpreterLock::released, work_of(m), [&] {
    return engine::log_likelihood(m, counts, theta);
  });
  return check(PyFloat_FromDouble(ll));
}

PyObject* engine_parameters(Arguments& a) {
  const engine::Model& m = a.model("model");
  const std::vector<double>& theta = a.array("theta");
  if (theta.size() != m.n_theta()) bad_length("theta", theta.size(), m.n_theta());
  engine::Mapped mapped = engine::map_parameters(m, theta, false);
  Ref p(to_array(std::move(mapped.p)));
  Ref jac(to_array(std::move(mapped.jac)));
  return check(PyTuple_Pack(2, p.get(), jac.get()));
}

PyObject* engine_densities(Arguments& a) {
  const engine::Model& m = a.model("model");
  const std::vector<double>& theta = a.array("theta");
  if (theta.size() != m.n_theta()) bad_length("theta", theta.size(), m.n_theta());
  const std::vector<double>& points = a.array("points");
  return to_array(run_interruptibly(InterpreterLock::released, work_of(m) + points.size(), [&] {
    return engine::peak_densities_at(m, theta, points);
  }));
}

// Puts a new array under `key` of `dict`.
void put(PyObject* dict, const char* key, std::vector<double>&& values) {
  Ref array(to_array(std::move(values)));
  if (PyDict_SetItemString(dict, key, array.get()) < 0) throw PythonError{};
}

std::vector<double> as_doubles(const std::vector<std::uint8_t>& flags) {
  return {flags.begin(), flags.end()};
}

// The report as a dict of new arrays (and the log-likelihood).
PyObject* report_dict(engine::Report&& r, const engine::ReportOptions& options) {
  Ref dict(check(PyDict_New()));
  Ref ll(check(PyFloat_FromDouble(r.log_likelihood)));
  if (PyDict_SetItemString(dict.get(), "log_likelihood", ll.get()) < 0) throw PythonError{};
  put(dict.get(), "params", std::move(r.mapped.p));
  put(dict.get(), "jacobian", std::move(r.mapped.jac));
  put(dict.get(), "score", std::move(r.score));
  put(dict.get(), "information", std::move(r.information));
  put(dict.get(), "covariance", std::move(r.covariance));
  put(dict.get(), "at_bound", as_doubles(r.at_bound));
  put(dict.get(), "undetermined", as_doubles(r.undetermined));
  put(dict.get(), "stderr", std::move(r.stderr_params));
  put(dict.get(), "background_counts", std::move(r.background_counts));
  put(dict.get(), "background_covariance", std::move(r.background_covariance));
  put(dict.get(), "extras", std::move(r.extras));
  put(dict.get(), "extras_stderr", std::move(r.extras_stderr));
  if (options.curves) {
    put(dict.get(), "peak_curves", std::move(r.peak_curves));
    put(dict.get(), "background_curves", std::move(r.background_curves));
  }
  if (options.quantities) {
    put(dict.get(), "height", std::move(r.height));
    put(dict.get(), "height_stderr", std::move(r.height_stderr));
    put(dict.get(), "fwhm", std::move(r.fwhm));
    put(dict.get(), "fwhm_stderr", std::move(r.fwhm_stderr));
  }
  return dict.release();
}

PyObject* engine_report(Arguments& a) {
  const engine::Model& m = a.model("model");
  const std::vector<double>& counts = a.array("counts");
  const std::vector<double>& theta = a.array("theta");
  check_point(m, counts.size(), theta.size());
  engine::ReportOptions options;
  options.curves = a.flag("curves");
  options.quantities = a.flag("quantities");
  engine::Report r = run_interruptibly(InterpreterLock::released, work_of(m), [&] {
    return engine::report(m, counts, theta, options);
  });
  return report_dict(std::move(r), options);
}

// Many spectra of one model along a path, each from the given theta (one start for all, or
// one per spectrum one after another) or, with warm, from the fit of the last spectrum that
// could be fitted (a finite theta and finite parameters), or `previous` (when not empty)
// before the first.  A spectrum whose start is not finite ends the call there (status 6; the
// spectra after it are left unfitted, their outcome NaN).  Spectra flagged in `skip` are not fitted; a
// fit that fails is reported and the next one goes on.  Returns a dict of arrays with one row
// per spectrum: theta, outcome (log-likelihood, iterations, status, decrement; status 0
// converged, 1 out of iterations, 2 stalled, 3 not finite, 4 failed, 5 skipped, 6 no start),
// params,
// stderr, extras, extras_stderr, background_counts, background_covariance, at_bound,
// undetermined, height, height_stderr, fwhm, fwhm_stderr (NaN rows for spectra without a fit).
PyObject* engine_spectra(Arguments& a) {
  const engine::Model& m = a.model("model");
  const std::vector<double>& counts = a.array("counts");
  const std::vector<double>& start = a.array("theta");
  const Flags skip = a.flag_list("skip");
  engine::FitSettings settings;
  settings.tolerance = a.real("tol");
  settings.max_iterations = a.count("max_iter");
  check_settings(settings.tolerance);
  const bool warm = a.flag("warm");
  const std::vector<double>& before = a.array("previous");
  const std::size_t n = m.n_points();
  const std::size_t spectra = skip.size();
  if (counts.size() != spectra * n) bad_length("counts", counts.size(), spectra * n);
  const bool one_start = start.size() == m.n_theta();
  if (!one_start && start.size() != spectra * m.n_theta()) {
    bad_length("theta", start.size(), m.n_theta());
  }
  if (!before.empty() && before.size() != m.n_theta()) {
    bad_length("previous", before.size(), m.n_theta());
  }

  const std::size_t n_theta = m.n_theta();
  const std::size_t n_params = m.n_params();
  const std::size_t n_extras = m.peaks.size() * shapes::kMaxExtras;
  const std::size_t n_terms = m.columns.size() + 2 * m.follows.size();  // counts, shares
  struct Table {
    const char* name;
    std::size_t width;
    std::vector<double> data;
  };
  std::vector<Table> tables = {
      {"theta", n_theta, {}},         {"outcome", 4, {}},
      {"params", n_params, {}},       {"stderr", n_params, {}},
      {"extras", n_extras, {}},       {"extras_stderr", n_extras, {}},
      {"background_counts", n_terms, {}},
      {"background_covariance", n_terms * n_terms, {}},
      {"at_bound", n_theta, {}},      {"undetermined", n_theta, {}},
      {"height", m.peaks.size(), {}}, {"height_stderr", m.peaks.size(), {}},
      {"fwhm", m.peaks.size(), {}},   {"fwhm_stderr", m.peaks.size(), {}},
  };
  for (Table& t : tables) t.data.assign(spectra * t.width, kNaN);
  auto row = [&](std::size_t table, std::size_t i) { return tables[table].data.data() + i * tables[table].width; };
  auto copy_row = [&](std::size_t table, std::size_t i, const auto& values) {
    std::copy(values.begin(), values.end(), row(table, i));
  };

  run_interruptibly(InterpreterLock::released, work_of(m) * std::max<std::size_t>(spectra, 1), [&] {
    bool have_previous = !before.empty();
    std::vector<double> previous = before;
    for (std::size_t i = 0; i < spectra; ++i) {
      checkpoint();
      double* outcome = row(1, i);
      if (skip[i] != 0) {
        outcome[2] = 5.0;
        continue;
      }
      const std::span<const double> y = std::span<const double>(counts).subspan(i * n, n);
      std::vector<double> theta;
      if (warm && have_previous) {
        theta = previous;
      } else if (one_start) {
        theta = start;
      } else {
        theta.assign(start.begin() + i * n_theta, start.begin() + (i + 1) * n_theta);
      }
      if (!std::all_of(theta.begin(), theta.end(), [](double v) { return std::isfinite(v); })) {
        // No start for this spectrum: the caller reads one and goes on from here.
        outcome[2] = 6.0;
        break;
      }
      try {
        engine::ReportOptions options;
        options.quantities = true;
        auto [o, r] = engine::fit_and_report(m, y, theta, settings, options);
        outcome[0] = o.log_likelihood;
        outcome[1] = static_cast<double>(o.iterations);
        outcome[2] = static_cast<double>(o.status);
        outcome[3] = o.decrement;
        copy_row(0, i, theta);
        copy_row(2, i, r.mapped.p);
        copy_row(3, i, r.stderr_params);
        copy_row(4, i, r.extras);
        copy_row(5, i, r.extras_stderr);
        copy_row(6, i, r.background_counts);
        copy_row(7, i, r.background_covariance);
        copy_row(8, i, as_doubles(r.at_bound));
        copy_row(9, i, as_doubles(r.undetermined));
        copy_row(10, i, r.height);
        copy_row(11, i, r.height_stderr);
        copy_row(12, i, r.fwhm);
        copy_row(13, i, r.fwhm_stderr);
        bool finite = true;
        for (const double v : theta) finite = finite && std::isfinite(v);
        for (const double v : r.mapped.p) finite = finite && std::isfinite(v);
        if (finite) {
          previous = std::move(theta);
          have_previous = true;
        }
      } catch (const Stopped&) {
        throw;
      } catch (const std::exception&) {
        outcome[2] = 4.0;  // this spectrum could not be fitted; the others go on
      }
    }
  });
  Ref dict(check(PyDict_New()));
  for (Table& t : tables) put(dict.get(), t.name, std::move(t.data));
  return dict.release();
}

// ------------------------------------------------------------------------ the registry

const char* kind_name(shapes::Kind kind) {
  switch (kind) {
    case shapes::Kind::location: return "location";
    case shapes::Kind::width: return "width";
    case shapes::Kind::plain: return "plain";
    case shapes::Kind::count: return "count";
  }
  return "plain";
}

const char* rule_name(shapes::DefaultRule rule) {
  switch (rule) {
    case shapes::DefaultRule::window: return "window";
    case shapes::DefaultRule::grid: return "grid";
    case shapes::DefaultRule::absolute: return "absolute";
  }
  return "absolute";
}

PyObject* shape_table(Arguments&) {
  const std::span<const shapes::ShapeEntry* const> all = shapes::all_shapes();
  Ref out(check(PyTuple_New(static_cast<Py_ssize_t>(all.size()))));
  for (std::size_t c = 0; c < all.size(); ++c) {
    const shapes::ShapeEntry& s = *all[c];
    Ref params(check(PyTuple_New(static_cast<Py_ssize_t>(s.params.size()))));
    for (std::size_t q = 0; q < s.params.size(); ++q) {
      const shapes::ParamInfo& p = s.params[q];
      PyObject* item = check(Py_BuildValue(
          "{s:s,s:s,s:d,s:d,s:O,s:O,s:s,s:d,s:d,s:s}", "name", p.name, "kind", kind_name(p.kind),
          "natural_lo", p.natural_lo, "natural_hi", p.natural_hi, "lo_open",
          p.lo_open ? Py_True : Py_False, "hi_open", p.hi_open ? Py_True : Py_False,
          "default_rule", rule_name(p.default_rule), "default_lo", p.default_lo, "default_hi",
          p.default_hi, "description", p.description));
      PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(q), item);
    }
    Ref extras(check(PyTuple_New(static_cast<Py_ssize_t>(s.extra_quantities.size()))));
    for (std::size_t x = 0; x < s.extra_quantities.size(); ++x) {
      const shapes::ExtraInfo& e = s.extra_quantities[x];
      PyTuple_SET_ITEM(extras.get(), static_cast<Py_ssize_t>(x),
                       check(Py_BuildValue("{s:s,s:s,s:O,s:s}", "name", e.name, "kind",
                                           kind_name(e.kind), "per_area",
                                           e.per_area ? Py_True : Py_False, "description",
                                           e.description)));
    }
    // -1 for a shape without a primary width, or one that is not a variant.
    auto code_or_none = [](std::size_t v) {
      return v == shapes::kNoPrimary ? -1 : static_cast<int>(v);
    };
    PyObject* entry = check(Py_BuildValue(
        "{s:i,s:s,s:O,s:O,s:O,s:O,s:i,s:i,s:i}", "code", static_cast<int>(c), "name", s.name,
        "framed", s.framed ? Py_True : Py_False, "heating_rate",
        s.heating_rate ? Py_True : Py_False, "params", params.get(), "extras", extras.get(),
        "primary", code_or_none(s.primary), "fwhm_of", code_or_none(s.fwhm_of), "fwhm_variant",
        code_or_none(shapes::fwhm_variant_code(c))));
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(c), entry);
  }
  return out.release();
}

PyObject* shape_starts(Arguments& a) {
  const std::uint64_t code = a.count("shape");
  if (code >= shapes::all_shapes().size()) {
    raise(PyExc_ValueError, "shape: no shape has the code " + std::to_string(code));
  }
  const shapes::ShapeEntry& s = shapes::shape(code);
  const std::vector<double>& positions = a.array("positions");
  const std::vector<double>& fwhms = a.array("fwhms");
  if (fwhms.size() != positions.size()) bad_length("fwhms", fwhms.size(), positions.size());
  std::vector<double> params(positions.size() * s.params.size());
  std::array<double, shapes::kMaxShapeParams> p{};
  for (std::size_t i = 0; i < positions.size(); ++i) {
    s.start(positions[i], fwhms[i], p.data());
    std::copy_n(p.begin(), s.params.size(), params.begin() + i * s.params.size());
  }
  Ref dict(check(PyDict_New()));
  put(dict.get(), "params", std::move(params));
  return dict.release();
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<engine_model>("_engine_model"),
    Definition::of<engine_fit>("_engine_fit"),
    Definition::of<engine_spectra>("_engine_spectra"),
    Definition::of<engine_report>("_engine_report"),
    Definition::of<engine_loglik>("_engine_loglik"),
    Definition::of<engine_parameters>("_engine_parameters"),
    Definition::of<engine_densities>("_engine_densities"),
    Definition::of<shape_table>("_shapes"),
    Definition::of<shape_starts>("_shape_starts"),
};

}  // namespace
}  // namespace velmora::py
