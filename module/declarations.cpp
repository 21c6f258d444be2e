#include "declarations.hpp"

#include <initializer_list>
#include <stdexcept>

namespace velmora::py {
namespace {

using Params = std::vector<ParamDecl>;

ParamDecl array(const char* name) { return {name, Kind::read_only_array}; }
ParamDecl in_place(const char* name) { return {name, Kind::in_place_array}; }
ParamDecl flags(const char* name) { return {name, Kind::flag_list}; }
ParamDecl flag(const char* name, const char* default_text = nullptr) {
  return {name, Kind::flag, default_text};
}
ParamDecl real(const char* name) { return {name, Kind::real}; }
ParamDecl count(const char* name) { return {name, Kind::count}; }

// Parameters of one function from consecutive pieces.
Params join(std::initializer_list<Params> pieces) {
  Params out;
  for (const Params& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

Params reals(std::initializer_list<const char*> names) {
  Params out;
  for (const char* name : names) out.push_back(real(name));
  return out;
}

// The background of every mixture fit: its code, the starting triangular slope and the spline
// basis, all optional.
const Params& background() {
  static const Params p = {{"bg_type", Kind::background_code, "0"},
                           {"s_tri", Kind::real, "0.0"},
                           {"spline_basis_preds", Kind::basis_list, "None"}};
  return p;
}

// The start of every mixture fit: grid, intensities, the component arrays written in place,
// the mixing weights and their Dirichlet concentrations, one fix list per listed flag.
Params mixture_head(const char* grid, std::initializer_list<const char*> components,
                    std::initializer_list<const char*> fix_lists) {
  Params out = {array(grid), array("intensity")};
  for (const char* name : components) out.push_back(in_place(name));
  out.push_back(in_place("pi"));
  out.push_back(array("dirichlet_alpha"));
  for (const char* name : fix_lists) out.push_back(flags(name));
  return out;
}

// The optional fix flags of a single-peak fit.
Params fix_flags(std::initializer_list<const char*> names) {
  Params out;
  for (const char* name : names) out.push_back(flag(name, "False"));
  return out;
}

std::vector<FunctionDecl> make_declarations() {
  const Params em_stop = {count("max_iter"), real("r_eps")};
  const Params window = reals({"x_min", "x_max"});
  std::vector<FunctionDecl> d;

  d.push_back({"run_em_loop",
               join({mixture_head("x", {"mu", "sigma"}, {"fix_mu", "fix_sigma"}), em_stop,
                     window, background()}),
               Returns::em_result,
               "Fits a mixture of Gaussian peaks (plus an optional background) by EM.\n"
               "Updates mu, sigma and pi in place after a successful fit.\n"
               "Returns (n_iter, ll_history, rel_history, s_tri)."});
  d.push_back({"run_pv_em_loop",
               join({mixture_head("x", {"x0", "gamma_pv", "eta"},
                                  {"fix_x0", "fix_gamma", "fix_eta"}),
                     {flag("use_full_opt")}, window, reals({"gamma_min", "gamma_max"}), em_stop,
                     background()}),
               Returns::em_result,
               "Fits a mixture of pseudo-Voigt peaks by EM, each component by conditional\n"
               "maximisation or, with use_full_opt, by full optimisation.\n"
               "Updates x0, gamma_pv, eta and pi in place after a successful fit.\n"
               "Returns (n_iter, ll_history, rel_history, s_tri)."});
  d.push_back({"run_voigt_em_loop",
               join({mixture_head("x", {"x0", "sigma_v", "gamma_v"},
                                  {"fix_x0", "fix_sigma", "fix_gamma"}),
                     window, reals({"sigma_min", "sigma_max", "gamma_min", "gamma_max"}),
                     em_stop, background()}),
               Returns::em_result,
               "Fits a mixture of window-normalised Voigt peaks by EM.\n"
               "Updates x0, sigma_v, gamma_v and pi in place after a successful fit.\n"
               "Returns (n_iter, ll_history, rel_history, s_tri)."});
  d.push_back({"run_lorentzian_em_loop",
               join({mixture_head("x", {"x0", "gamma_lo"}, {"fix_x0", "fix_gamma"}), window,
                     em_stop, background()}),
               Returns::em_result,
               "Fits a mixture of window-truncated Lorentzian peaks by EM; every component\n"
               "fit writes \"LBFGSB finished\" to standard output.\n"
               "Updates x0, gamma_lo and pi in place after a successful fit.\n"
               "Returns (n_iter, ll_history, rel_history, s_tri)."});
  d.push_back({"run_ds_em_loop",
               join({mixture_head("x", {"x0", "gamma_ds", "alpha"},
                                  {"fix_x0", "fix_gamma", "fix_alpha"}),
                     window, reals({"gamma_min", "gamma_max", "alpha_min", "alpha_max"}),
                     em_stop, background()}),
               Returns::em_result,
               "Fits a mixture of Doniach-Sunjic peaks by EM.\n"
               "Updates x0, gamma_ds, alpha and pi in place after a successful fit.\n"
               "Returns (n_iter, ll_history, rel_history, s_tri)."});
  d.push_back({"run_tsdc_em_loop",
               join({mixture_head("t", {"ea", "tau0", "tp"}, {"fix_ea", "fix_tp"}),
                     reals({"beta", "ea_min", "ea_max", "t_min", "t_max"}), em_stop,
                     background()}),
               Returns::em_result,
               "Fits a mixture of TSDC peaks to a thermogram by EM (components one after\n"
               "another).  Updates ea, tau0, tp and pi in place after a successful fit.\n"
               "Returns (n_iter, ll_history, rel_history, s_tri)."});
  d.push_back({"pseudo_voigt_predict",
               join({{array("x")}, reals({"x0", "gamma", "eta"}), window}),
               Returns::profile,
               "The pseudo-Voigt component density at every grid value, as the mixture\n"
               "fit forms it.  Returns a new array."});
  d.push_back({"pseudo_voigt_mle_conditional_max",
               join({{array("x"), array("intensity")}, reals({"x0", "gamma", "eta"}), window,
                     fix_flags({"fix_x0", "fix_gamma", "fix_eta"})}),
               Returns::triple,
               "Fits one pseudo-Voigt peak to weighted data by conditional maximisation.\n"
               "Returns the fitted (x0, gamma, eta); nothing is updated in place."});
  d.push_back({"pseudo_voigt_mle_full_optimization",
               join({{array("x"), array("intensity")}, reals({"x0", "gamma", "eta"}), window,
                     reals({"gamma_min", "gamma_max"}), em_stop,
                     fix_flags({"fix_x0", "fix_gamma", "fix_eta"})}),
               Returns::triple,
               "Fits one pseudo-Voigt peak by alternating L-BFGS-B over (x0, gamma) with a\n"
               "grid search over eta.  Returns the fitted (x0, gamma, eta)."});
  d.push_back({"lorentzian_mle",
               join({{array("x"), array("intensity")}, reals({"x0", "gamma"}), window,
                     fix_flags({"fix_x0", "fix_gamma"})}),
               Returns::pair,
               "Fits one window-truncated Lorentzian peak to weighted data with L-BFGS-B and\n"
               "writes \"LBFGSB finished\" to standard output.  Returns (x0, gamma)."});
  d.push_back({"doniach_sunjic_mle",
               join({{array("x"), array("intensity")}, reals({"x0", "gamma", "alpha"}), window,
                     reals({"gamma_min", "gamma_max", "alpha_min", "alpha_max"}),
                     fix_flags({"fix_x0", "fix_gamma", "fix_alpha"})}),
               Returns::triple,
               "Fits one Doniach-Sunjic peak to weighted data with L-BFGS-B.\n"
               "Returns the fitted (x0, gamma, alpha)."});
  d.push_back({"tsdc_predict", join({{array("t")}, reals({"ea", "tau0", "beta"})}),
               Returns::profile,
               "The TSDC peak current at every temperature of the grid for heating rate\n"
               "beta.  Returns a new array."});
  d.push_back({"tsdc_mle_find_root",
               join({{array("t"), array("intensity")}, reals({"ea", "tau0", "tp"}),
                     reals({"ea_min", "ea_max", "beta"}), fix_flags({"fix_ea", "fix_tp"})}),
               Returns::triple,
               "Fits one TSDC peak by root searches on the likelihood equations.\n"
               "Returns (ea, tau0, tp); raises RuntimeError when no root is found."});
  d.push_back({"tsdc_mle_lbfgsb",
               join({{array("t"), array("intensity")}, reals({"ea", "tau0", "tp"}),
                     reals({"ea_min", "ea_max", "t_min", "t_max", "beta"}),
                     fix_flags({"fix_ea", "fix_tp"})}),
               Returns::triple,
               "Fits one TSDC peak with L-BFGS-B over (ea, tp).\n"
               "Returns (ea, tau0, tp); raises RuntimeError when the minimiser fails."});
  d.push_back({"gaussian_predict", join({{array("x")}, reals({"mu", "sigma"})}),
               Returns::profile,
               "The Gaussian component density at every grid value, as the mixture fit\n"
               "forms it.  Returns a new array."});
  d.push_back({"lorentzian_predict", join({{array("x")}, reals({"x0", "gamma"}), window}),
               Returns::profile,
               "The Lorentzian component density at every grid value (window mass and grid\n"
               "normalisation included), as the mixture fit forms it.  Returns a new array."});
  d.push_back({"voigt_predict", join({{array("x")}, reals({"x0", "sigma", "gamma"}), window}),
               Returns::profile,
               "The Voigt component density at every grid value, divided by its window\n"
               "mass, as the mixture fit forms it.  Returns a new array."});
  d.push_back({"doniach_sunjic_predict", join({{array("x")}, reals({"x0", "gamma", "alpha"})}),
               Returns::profile,
               "The Doniach-Sunjic component density at every grid value (normalised over\n"
               "the grid), as the mixture fit forms it.  Returns a new array."});
  d.push_back({"_status_line", {flag("enabled")}, Returns::flag,
               "Sets whether the Lorentzian fits started from the calling thread write their\n"
               "\"LBFGSB finished\" line.  Returns the previous setting."});
  d.push_back({"_on_calling_thread", {flag("enabled")}, Returns::flag,
               "Sets whether the fits started from the calling thread run on that thread alone\n"
               "(for callers that spread many fits over threads of their own), instead of on\n"
               "the worker pool.  Results are the same.  Returns the previous setting."});
  d.push_back({"_stop_check", {{"check", Kind::callable}}, Returns::nothing,
               "Sets a function that the fits started from the calling thread call while they\n"
               "wait or at their checkpoints (at most every 20 ms, with the interpreter lock);\n"
               "when it raises, the fit stops and raises its exception.  None removes it."});
  d.push_back({"_pool_size", {}, Returns::count,
               "The number of threads of the worker pool (RAYON_NUM_THREADS, else\n"
               "RAYON_RS_NUM_CPUS, else the processors available to the process, reduced by a\n"
               "cgroup CPU quota; 1 in a process forked from one whose pool existed)."});
  // The velmora package's own engine: a model built once from its parameter table, then fits
  // of spectra with it (engine.hpp).
  d.push_back({"_engine_model", {{"description", Kind::mapping}}, Returns::model,
               "Builds a model of the fitting engine from one description, a dict of typed\n"
               "entries: u, widths (the grid, float64), window (x_min, x_max); per peak shapes\n"
               "(registry codes, integers) and betas (heating rates); per parameter roles\n"
               "(integers: 0 free, 1 fixed, 2 tied), slots (theta index or tie), values, scale\n"
               "and offset (user = scale * value + offset); lower and upper (bounds of theta);\n"
               "the compiled ties in evaluation order (tie_code: (code, operand) pairs,\n"
               "tie_start: where each starts in pairs, tie_target: the parameter each gives);\n"
               "columns (a list of the background's columns) and follows (a list of (kind,\n"
               "side, parameters) of the terms that follow the peaks: kind 0 Shirley step, 1\n"
               "Tougaard kernel (x scale, C), 2 three-parameter Tougaard kernel (x scale, C, D);\n"
               "side +1 below, -1 above); and optionally starts, the rule that reads a\n"
               "spectrum's start (x, step, window in units of x; per peak positions,\n"
               "position_tied and sizes; per peak parameter read, lo and hi; background 0\n"
               "spread or 1 Shirley; kinetic; given, every parameter's given value or NaN).\n"
               "Raises ValueError naming an entry that is missing, of the wrong type, or that\n"
               "does not hold together with the others."});
  const ParamDecl model = {"model", Kind::model};
  d.push_back({"_engine_fit",
               {model, array("counts"), in_place("theta"), real("tol"), count("max_iter"),
                flag("curves", "False"), flag("quantities", "False")},
               Returns::engine_fit,
               "Fits one spectrum by maximum likelihood from theta, which is updated in place.\n"
               "Returns ((iterations, log_likelihood, converged, decrement, status,\n"
               "evaluations), the report at the fitted point as _engine_report gives it)."});
  d.push_back({"_engine_spectra",
               {model, array("counts"), array("theta"), real("tol"), count("max_iter"),
                flag("warm"), flags("skip"), flags("fresh"), array("previous")},
               Returns::arrays,
               "Fits many spectra (counts one after another) without the interpreter lock,\n"
               "each from theta (one start for all, or one per spectrum; a NaN row is read\n"
               "from the spectrum by the model's start rule) or, with warm, from the fit of\n"
               "the last spectrum of its path that could be fitted (previous, when not empty,\n"
               "before the first; a path starts again where fresh is set); skipped spectra are\n"
               "not fitted.  Returns a dict of arrays, one row per spectrum: outcome holds the\n"
               "log-likelihood, iterations, status (0 converged, 1 out of iterations, 2\n"
               "stalled, 3 not finite, 4 failed, 5 skipped, 6 no start, 7 start not usable),\n"
               "decrement and passes over the data; dispersion Pearson's dispersion (over\n"
               "the channels expecting at least one count), its two-sided p-value under\n"
               "Poisson noise and its degrees of freedom."});
  d.push_back({"_engine_starts", {model, array("counts")}, Returns::arrays,
               "The starts the model's start rule reads from spectra (counts one after\n"
               "another) without the interpreter lock: a dict of theta and values (every\n"
               "parameter, ties evaluated), one row per spectrum, and usable (1 where a fit can\n"
               "start from it)."});
  d.push_back({"_engine_report",
               {model, array("counts"), array("theta"), flag("curves", "False"),
                flag("quantities", "False")},
               Returns::arrays,
               "Parameters, information, covariance, standard errors and background counts at\n"
               "theta; with curves the expected counts of every peak and background term; with\n"
               "quantities every peak's height and FWHM; dispersion as _engine_spectra gives\n"
               "it.  Returns a dict."});
  d.push_back({"_engine_loglik", {model, array("counts"), array("theta")}, Returns::real,
               "The Poisson log-likelihood of counts at theta."});
  d.push_back({"_engine_parameters", {model, array("theta")}, Returns::array_pair,
               "Every parameter at theta (ties evaluated) and d parameters / d theta.\n"
               "Returns (params, jacobian row by row)."});
  d.push_back({"_engine_densities", {model, array("theta"), array("points")}, Returns::profile,
               "Area times density of every peak at arbitrary points, in the normalisation\n"
               "the peak has on the model's grid (peaks one after another)."});
  d.push_back({"_shapes", {}, Returns::shape_table,
               "The registry of peak shapes: per shape its code, name, whether it is fitted in\n"
               "grid units, its parameters (name, kind, natural range, default bounds,\n"
               "description) and its derived quantities."});
  d.push_back({"_shape_starts", {count("shape"), array("positions"), array("fwhms")},
               Returns::arrays,
               "Starting parameters of peaks of a shape at positions with full widths at half\n"
               "maximum: a dict holding params, one row of the shape's parameters per peak."});
  d.push_back({"_follow_terms", {}, Returns::follow_table,
               "The registry of the terms that follow the peaks: per kind its code, name,\n"
               "description, parameters (name, unit, description), whether it is a loss\n"
               "kernel, and the names (and unit) its counts and share are reported under."});
  d.push_back({"_follow_kernel", {count("kind"), array("t"), array("params")}, Returns::profile,
               "The loss kernel K(t) per eV of a kind of term that follows the peaks, with the\n"
               "term's parameters as a model takes them, at every loss t (eV)."});
  // The velmora package's compiled ties between peak parameters.
  d.push_back({"_tie_operations", {}, Returns::tie_operations,
               "The operations of compiled ties, in the order of their codes: a tuple of\n"
               "(token, code, arity), token \"const\", \"ref\", \"+\", \"-\", \"*\", \"/\", \"**\",\n"
               "\"neg\" or a function's name."});
  d.push_back({"_tie_evaluate", {array("program"), array("values")}, Returns::tie_jet,
               "Evaluates a compiled tie, the (code, operand) pairs of `program` one after\n"
               "another, at the parameter values `values` (referenced by index).  Returns\n"
               "(value, refs, gradient, hessian): the distinct referenced indices in order of\n"
               "first use, and the derivatives over them (the Hessian row by row).  Raises\n"
               "ValueError for a malformed program."});
  return d;
}

const char* stub_type(Kind kind) {
  switch (kind) {
    case Kind::read_only_array:
    case Kind::in_place_array: return "NDArray[np.float64]";
    case Kind::flag_list: return "Sequence[bool | np.bool_]";
    case Kind::flag: return "bool | np.bool_";
    case Kind::real: return "SupportsFloat | SupportsIndex";
    case Kind::count:
    case Kind::background_code: return "SupportsIndex";
    case Kind::basis_list:
      return "Sequence[Sequence[SupportsFloat | SupportsIndex]] | NDArray[np.float64] | None";
    case Kind::callable: return "Callable[[], object] | None";
    case Kind::model: return "object";
    case Kind::mapping: return "Mapping[str, object]";
  }
  return "object";
}

const char* stub_type(Returns returns) {
  switch (returns) {
    case Returns::em_result:
      return "tuple[int, NDArray[np.float64], NDArray[np.float64], float]";
    case Returns::pair: return "tuple[float, float]";
    case Returns::triple: return "tuple[float, float, float]";
    case Returns::profile: return "NDArray[np.float64]";
    case Returns::flag: return "bool";
    case Returns::count: return "int";
    case Returns::nothing: return "None";
    case Returns::model: return "object";
    case Returns::engine_fit:
      return "tuple[tuple[int, float, bool, float, int, int], dict[str, object]]";
    case Returns::real: return "float";
    case Returns::arrays: return "dict[str, object]";
    case Returns::array_pair: return "tuple[NDArray[np.float64], NDArray[np.float64]]";
    case Returns::shape_table:
    case Returns::follow_table: return "tuple[dict[str, object], ...]";
    case Returns::tie_operations: return "tuple[tuple[str, int, int], ...]";
    case Returns::tie_jet:
      return "tuple[float, NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]";
  }
  return "object";
}

}  // namespace

std::size_t FunctionDecl::index_of(std::string_view param) const {
  std::size_t i = 0;
  while (i < params.size() && param != params[i].name) ++i;
  return i;
}

std::string FunctionDecl::signature_text() const {
  std::string out = std::string(name) + "(";
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) out += ", ";
    out += params[i].name;
    if (params[i].default_text != nullptr) out += std::string("=") + params[i].default_text;
  }
  return out + ")";
}

const std::vector<FunctionDecl>& declarations() {
  static const std::vector<FunctionDecl> d = make_declarations();
  return d;
}

const FunctionDecl& declaration(std::string_view name) {
  for (const FunctionDecl& f : declarations()) {
    if (name == f.name) return f;
  }
  throw std::out_of_range("velmora_core: no function named " + std::string(name));
}

std::string stub_text() {
  std::string out =
      "\"\"\"Types of velmora_core, the numerical core of velmora: EM mixture fits, single-peak\n"
      "fits and profile functions of spectral peak shapes.\n\n"
      "Every array is a one-dimensional float64 NumPy array (any strides).  The mixture fits\n"
      "write their fitted parameters into the arrays given for them only after a fit has\n"
      "succeeded.\n\"\"\"\n\n"
      "from collections.abc import Callable, Mapping, Sequence\n"
      "from typing import SupportsFloat, SupportsIndex\n\n"
      "import numpy as np\n"
      "from numpy.typing import NDArray\n\n"
      "__all__ = [\n";
  for (const FunctionDecl& f : declarations()) {
    if (!f.is_private()) out += std::string("    \"") + f.name + "\",\n";
  }
  out += "]\n";
  for (const FunctionDecl& f : declarations()) {
    out += std::string("\n\ndef ") + f.name + "(\n";
    for (const ParamDecl& p : f.params) {
      out += std::string("    ") + p.name + ": " + stub_type(p.kind);
      if (p.default_text != nullptr) out += std::string(" = ") + p.default_text;
      out += ",\n";
    }
    out += std::string(") -> ") + stub_type(f.returns) + ":\n    \"\"\"";
    for (const char* c = f.stub_doc; *c != '\0'; ++c) {
      out += *c;
      if (*c == '\n') out += "    ";
    }
    out += "\n    \"\"\"\n";
  }
  return out;
}

}  // namespace velmora::py
