// The velmora package's private entry points to its fitting engine (engine/engine.hpp) and to
// the shape registry (shapes/registry.hpp).
//
// A model is built once (_engine_model) and handed to every fit of a spectrum with it; it is
// immutable, so fits on several threads share it.  The fits run without the interpreter lock
// and stop on Ctrl-C like every other fit.  A model that does not hold together raises
// ValueError naming what is wrong, before any work.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <limits>
#include <stdexcept>
#include <string>

#include "convert.hpp"
#include "engine/batch.hpp"
#include "engine/engine.hpp"
#include "engine/starts.hpp"
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
  delete static_cast<EngineModel*>(PyCapsule_GetPointer(capsule, kModelCapsule));
}

// ------------------------------------------------------------- the model's description
//
// A model reaches the core as one dict of typed entries (see the declaration of
// _engine_model), read here once: every entry is checked for its type and shape, and a
// malformed one raises naming it.

[[noreturn]] void bad_entry(const std::string& key, const std::string& what) {
  raise(PyExc_ValueError, "model: '" + key + "' " + what);
}

// The entries of a description dict, each taken once; what is left over is refused.
class Description {
 public:
  Description(PyObject* dict, std::string prefix) : dict_(dict), prefix_(std::move(prefix)) {}

  PyObject* take(const char* key, bool required = true) {
    PyObject* obj = PyDict_GetItemString(dict_, key);  // borrowed
    if (obj == nullptr) {
      if (PyErr_Occurred()) throw PythonError{};
      if (required) bad_entry(prefix_ + key, "is missing");
      return nullptr;
    }
    taken_.emplace_back(key);
    return obj;
  }

  std::string name(const char* key) const { return prefix_ + key; }

  // Refuses keys that were not taken.
  void finish() const {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict_, &pos, &key, &value)) {
      const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      if (text == nullptr) {
        PyErr_Clear();
        raise(PyExc_ValueError, "model: " + prefix_ + "keys must be strings");
      }
      if (std::find(taken_.begin(), taken_.end(), text) == taken_.end()) {
        bad_entry(prefix_ + text, "is not an entry of a model's description");
      }
    }
  }

 private:
  PyObject* dict_;
  std::string prefix_;
  std::vector<std::string> taken_;
};

PyArrayObject* one_dimensional(PyObject* obj, const std::string& key, const char* kind) {
  if (!PyArray_Check(obj)) {
    bad_entry(key, std::string("expected a one-dimensional ") + kind + " array, got '" +
                       type_name(obj) + "'");
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 1) {
    bad_entry(key, std::string("expected a one-dimensional ") + kind + " array, got " +
                       std::to_string(PyArray_NDIM(array)) + " dimensions");
  }
  return array;
}

std::vector<double> floats(PyObject* obj, const std::string& key) {
  PyArrayObject* array = one_dimensional(obj, key, "float64");
  if (PyArray_TYPE(array) != NPY_DOUBLE) bad_entry(key, "expected an array of dtype float64");
  return copy_elements(array);
}

// Non-negative whole numbers from an array of an integer (or boolean) dtype.
std::vector<std::size_t> indices(PyObject* obj, const std::string& key) {
  PyArrayObject* array = one_dimensional(obj, key, "integer");
  if (!PyArray_ISINTEGER(array) && !PyArray_ISBOOL(array)) {
    bad_entry(key, "expected an array of an integer dtype (codes and indices are whole "
                   "numbers)");
  }
  Ref cast(check(PyArray_Cast(array, NPY_INT64)));
  auto* ints = reinterpret_cast<PyArrayObject*>(cast.get());
  const npy_intp n = PyArray_DIM(ints, 0);
  std::vector<std::size_t> out(static_cast<std::size_t>(n));
  for (npy_intp i = 0; i < n; ++i) {
    std::int64_t v = 0;
    std::memcpy(&v, PyArray_BYTES(ints) + i * PyArray_STRIDE(ints, 0), sizeof(v));
    if (v < 0) bad_entry(key, "entry " + std::to_string(i) + " is negative");
    out[static_cast<std::size_t>(i)] = static_cast<std::size_t>(v);
  }
  return out;
}

double number(PyObject* obj, const std::string& key) {
  if (PyBool_Check(obj) || !(PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_IsScalar(obj, Number))) {
    bad_entry(key, "expected a number, got '" + type_name(obj) + "'");
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
  return v;
}

long long integer(PyObject* obj, const std::string& key) {
  if (PyBool_Check(obj) || !(PyLong_Check(obj) || PyArray_IsScalar(obj, Integer))) {
    bad_entry(key, "expected an integer, got '" + type_name(obj) + "'");
  }
  Ref index(check(PyNumber_Index(obj)));
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) throw PythonError{};
  return v;
}

bool truth(PyObject* obj, const std::string& key) {
  if (!PyBool_Check(obj) && !PyArray_IsScalar(obj, Bool)) {
    bad_entry(key, "expected True or False, got '" + type_name(obj) + "'");
  }
  return PyObject_IsTrue(obj) == 1;
}

// Calls item(element, index) for each element of a list or tuple.
template <class F>
void for_each(PyObject* obj, const std::string& key, F&& item) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    bad_entry(key, "expected a list or tuple, got '" + type_name(obj) + "'");
  }
  Ref seq(check(PySequence_Fast(obj, "a sequence")));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    item(PySequence_Fast_GET_ITEM(seq.get(), i), static_cast<std::size_t>(i));
  }
}

engine::FollowInput follow_term(PyObject* obj, const std::string& key) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) {
    bad_entry(key, "expected a tuple (kind, side, parameters)");
  }
  engine::FollowInput f;
  const long long kind = integer(PyTuple_GET_ITEM(obj, 0), key + " kind");
  if (kind < 0) bad_entry(key, "kind is negative");
  f.kind = static_cast<std::size_t>(kind);
  f.side = static_cast<int>(std::clamp<long long>(integer(PyTuple_GET_ITEM(obj, 1), key + " side"),
                                                  -2, 2));
  f.params = floats(PyTuple_GET_ITEM(obj, 2), key + " parameters");
  return f;
}

engine::StartRule start_rule(PyObject* obj) {
  if (!PyDict_Check(obj)) bad_entry("starts", "expected a dict or None");
  Description d(obj, "starts.");
  engine::StartRule r;
  r.x = floats(d.take("x"), d.name("x"));
  r.step = number(d.take("step"), d.name("step"));
  const std::vector<double> window = floats(d.take("window"), d.name("window"));
  if (window.size() != 2) bad_entry(d.name("window"), "expected (low, high)");
  r.window_lo = window[0];
  r.window_hi = window[1];
  const std::vector<double> positions = floats(d.take("positions"), d.name("positions"));
  const std::vector<double> fwhms = floats(d.take("fwhms"), d.name("fwhms"));
  const std::vector<std::size_t> tied = indices(d.take("position_tied"), d.name("position_tied"));
  const std::vector<std::size_t> sizes = indices(d.take("sizes"), d.name("sizes"));
  const std::vector<std::size_t> read = indices(d.take("read"), d.name("read"));
  const std::vector<double> lo = floats(d.take("lo"), d.name("lo"));
  const std::vector<double> hi = floats(d.take("hi"), d.name("hi"));
  if (fwhms.size() != positions.size() || tied.size() != positions.size() ||
      sizes.size() != positions.size()) {
    bad_entry(d.name("positions"), "fwhms, position_tied and sizes need one entry per peak");
  }
  std::size_t at = 0;
  for (std::size_t j = 0; j < positions.size(); ++j) {
    engine::StartPeak p;
    p.position = positions[j];
    p.fwhm = fwhms[j];
    p.position_tied = tied[j] != 0;
    if (sizes[j] > engine::kMaxPeakParams || at + sizes[j] > read.size() ||
        read.size() != lo.size() || read.size() != hi.size()) {
      bad_entry(d.name("read"), "read, lo and hi need one entry per parameter of every peak");
    }
    for (std::size_t q = 0; q < sizes[j]; ++q, ++at) {
      p.read[q] = read[at] != 0;
      p.lo[q] = lo[at];
      p.hi[q] = hi[at];
    }
    r.peaks.push_back(p);
  }
  if (at != read.size()) bad_entry(d.name("read"), "has entries beyond the peaks' parameters");
  const long long background = integer(d.take("background"), d.name("background"));
  if (background != 0 && background != 1) {
    bad_entry(d.name("background"), "expected 0 (spread over the columns) or 1 (Shirley)");
  }
  r.background = static_cast<engine::BackgroundStart>(background);
  r.kinetic = truth(d.take("kinetic"), d.name("kinetic"));
  r.given = floats(d.take("given"), d.name("given"));
  d.finish();
  return r;
}

PyObject* engine_model(Arguments& a) {
  Description d(a.mapping("description"), "");
  engine::ModelInput in;
  in.u = floats(d.take("u"), "u");
  in.widths = floats(d.take("widths"), "widths");
  const std::vector<double> window = floats(d.take("window"), "window");
  if (window.size() != 2) bad_entry("window", "expected (x_min, x_max)");
  in.x_min = window[0];
  in.x_max = window[1];
  in.shapes = indices(d.take("shapes"), "shapes");
  in.betas = floats(d.take("betas"), "betas");
  in.roles = indices(d.take("roles"), "roles");
  in.slots = indices(d.take("slots"), "slots");
  in.values = floats(d.take("values"), "values");
  in.scale = floats(d.take("scale"), "scale");
  in.offset = floats(d.take("offset"), "offset");
  in.lower = floats(d.take("lower"), "lower");
  in.upper = floats(d.take("upper"), "upper");
  in.tie_code = floats(d.take("tie_code"), "tie_code");
  in.tie_start = indices(d.take("tie_start"), "tie_start");
  in.tie_target = indices(d.take("tie_target"), "tie_target");
  for_each(d.take("columns"), "columns", [&](PyObject* column, std::size_t b) {
    in.columns.push_back(floats(column, "columns[" + std::to_string(b) + "]"));
  });
  for_each(d.take("follows"), "follows", [&](PyObject* term, std::size_t t) {
    in.follows.push_back(follow_term(term, "follows[" + std::to_string(t) + "]"));
  });
  std::optional<engine::StartRule> starts;
  if (PyObject* rule = d.take("starts", false); rule != nullptr && rule != Py_None) {
    starts = start_rule(rule);
  }
  d.finish();
  // The kernel of a loss background on an irregular grid takes up to a second to tabulate, so
  // the model is built like a fit: without the lock, stopped by Ctrl-C.
  std::size_t work = in.u.size();
  for (const engine::FollowInput& f : in.follows) work += in.u.size() * (1 + f.params.size());
  EngineModel* model = nullptr;
  try {
    model = new EngineModel{run_interruptibly(InterpreterLock::released, work, [&] {
                              return engine::make_model(std::move(in));
                            }),
                            std::move(starts)};
    if (model->starts) engine::check_start_rule(*model->starts, model->model);
  } catch (const std::invalid_argument& e) {
    delete model;
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
  put(dict.get(), "dispersion", std::vector<double>{r.dispersion, r.dispersion_p, r.dispersion_dof});
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

// Many spectra of one model in one call (engine/batch.hpp): starts given or read in the core,
// fits and reports, without the interpreter lock.  Returns a dict of arrays with one row per
// spectrum (batch.hpp lists them).
PyObject* engine_spectra(Arguments& a) {
  const EngineModel& em = a.engine_model("model");
  const engine::Model& m = em.model;
  const std::vector<double>& counts = a.array("counts");
  const std::vector<double>& start = a.array("theta");
  const Flags skip = a.flag_list("skip");
  const Flags fresh = a.flag_list("fresh");
  engine::FitSettings settings;
  settings.tolerance = a.real("tol");
  settings.max_iterations = a.count("max_iter");
  check_settings(settings.tolerance);
  const std::vector<double>& before = a.array("previous");
  engine::SpectraInput in;
  in.spectra = skip.size();
  in.warm = a.flag("warm");
  const std::size_t n = m.n_points();
  if (counts.size() != in.spectra * n) bad_length("counts", counts.size(), in.spectra * n);
  if (start.size() != m.n_theta() && start.size() != in.spectra * m.n_theta()) {
    bad_length("theta", start.size(), in.spectra * m.n_theta());
  }
  if (!fresh.empty() && fresh.size() != in.spectra) bad_length("fresh", fresh.size(), in.spectra);
  if (!before.empty() && before.size() != m.n_theta()) {
    bad_length("previous", before.size(), m.n_theta());
  }
  in.counts = counts;
  in.theta = start;
  in.skip = std::span<const std::uint8_t>(skip.data(), skip.size());
  in.fresh = std::span<const std::uint8_t>(fresh.data(), fresh.size());
  in.previous = before;
  const engine::StartRule* rule = em.starts ? &*em.starts : nullptr;
  std::vector<engine::SpectraTable> tables = run_interruptibly(
      InterpreterLock::released, work_of(m) * std::max<std::size_t>(in.spectra, 1),
      [&] { return engine::fit_spectra(m, rule, in, settings); });
  Ref dict(check(PyDict_New()));
  for (engine::SpectraTable& t : tables) put(dict.get(), t.name, std::move(t.data));
  return dict.release();
}

// The starts the model's rule reads from spectra (counts one after another): a dict of theta
// and values (every parameter, internal units; NaN rows where none was read) and usable (1 for
// a start a fit can go from).
PyObject* engine_starts(Arguments& a) {
  const EngineModel& em = a.engine_model("model");
  const engine::Model& m = em.model;
  if (!em.starts) raise(PyExc_ValueError, "model: it was built without a start rule");
  const std::vector<double>& counts = a.array("counts");
  const std::size_t n = m.n_points();
  if (counts.size() % n != 0) bad_length("counts", counts.size(), n);
  const std::size_t spectra = counts.size() / n;
  std::vector<double> theta(spectra * m.n_theta(), kNaN);
  std::vector<double> values(spectra * m.n_params(), kNaN);
  std::vector<double> usable(spectra, 0.0);
  run_interruptibly(InterpreterLock::released, work_of(m) * std::max<std::size_t>(spectra, 1), [&] {
    for (std::size_t i = 0; i < spectra; ++i) {
      checkpoint();
      const bool ok = engine::read_start(
          *em.starts, m, std::span<const double>(counts).subspan(i * n, n),
          std::span<double>(theta).subspan(i * m.n_theta(), m.n_theta()),
          std::span<double>(values).subspan(i * m.n_params(), m.n_params()));
      usable[i] = ok ? 1.0 : 0.0;
    }
  });
  Ref dict(check(PyDict_New()));
  put(dict.get(), "theta", std::move(theta));
  put(dict.get(), "values", std::move(values));
  put(dict.get(), "usable", std::move(usable));
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
    Definition::of<engine_starts>("_engine_starts"),
    Definition::of<engine_report>("_engine_report"),
    Definition::of<engine_loglik>("_engine_loglik"),
    Definition::of<engine_parameters>("_engine_parameters"),
    Definition::of<engine_densities>("_engine_densities"),
    Definition::of<shape_table>("_shapes"),
    Definition::of<shape_starts>("_shape_starts"),
};

}  // namespace
}  // namespace velmora::py
