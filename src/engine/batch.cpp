// The fits of many spectra in one call (batch.hpp).
#include "engine/batch.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>

#include "stop.hpp"

namespace velmora::engine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool finite_all(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

enum Column : std::size_t {
  kTheta, kOutcome, kParams, kStderr, kExtras, kExtrasStderr, kBackgroundCounts,
  kBackgroundCovariance, kAtBound, kUndetermined, kHeight, kHeightStderr, kFwhm, kFwhmStderr,
  kDispersion,
};

}  // namespace

std::vector<SpectraTable> fit_spectra(const Model& m, const StartRule* rule,
                                      const SpectraInput& in, const FitSettings& settings) {
  const std::size_t n = m.n_points();
  const std::size_t n_theta = m.n_theta();
  const std::size_t n_params = m.n_params();
  const std::size_t n_peaks = m.peaks.size();
  const std::size_t n_extras = n_peaks * shapes::kMaxExtras;
  const std::size_t n_terms = m.columns.size() + 2 * m.follows.size();  // counts, shares
  std::vector<SpectraTable> tables = {
      {"theta", n_theta, {}},         {"outcome", 5, {}},
      {"params", n_params, {}},       {"stderr", n_params, {}},
      {"extras", n_extras, {}},       {"extras_stderr", n_extras, {}},
      {"background_counts", n_terms, {}},
      {"background_covariance", n_terms * n_terms, {}},
      {"at_bound", n_theta, {}},      {"undetermined", n_theta, {}},
      {"height", n_peaks, {}},        {"height_stderr", n_peaks, {}},
      {"fwhm", n_peaks, {}},          {"fwhm_stderr", n_peaks, {}},
      {"dispersion", 3, {}},
  };
  for (SpectraTable& t : tables) t.data.assign(in.spectra * t.width, kNaN);
  auto row = [&](Column c, std::size_t i) { return tables[c].data.data() + i * tables[c].width; };
  auto put = [&](Column c, std::size_t i, const auto& values) {
    std::copy(values.begin(), values.end(), row(c, i));
  };

  // The fixed values a spectrum's start gives the model.
  std::vector<std::size_t> guessed;
  if (rule != nullptr) {
    for (std::size_t e = 0; e < n_params; ++e) {
      if (m.roles[e] == Role::fixed && std::isnan(rule->given[e])) guessed.push_back(e);
    }
  }
  std::optional<Model> own;  // the model of the last start read, where it has fixed values
  const Model* current = &m;
  const bool one_start = in.theta.size() == n_theta;
  bool have_previous = !in.previous.empty();
  std::vector<double> previous(in.previous.begin(), in.previous.end());
  std::vector<double> theta(n_theta), values(n_params);
  ReportOptions options;
  options.quantities = true;

  for (std::size_t i = 0; i < in.spectra; ++i) {
    checkpoint();
    double* outcome = row(kOutcome, i);
    if (!in.fresh.empty() && in.fresh[i] != 0) have_previous = false;
    if (in.skip[i] != 0) {
      outcome[2] = kSkipped;
      continue;
    }
    const std::span<const double> y = in.counts.subspan(i * n, n);
    if (in.warm && have_previous) {
      theta = previous;
    } else {
      const std::span<const double> given =
          one_start ? in.theta : in.theta.subspan(i * n_theta, n_theta);
      if (finite_all(given)) {
        std::copy(given.begin(), given.end(), theta.begin());
        current = &m;
      } else if (rule != nullptr) {
        if (!read_start(*rule, m, y, theta, values)) {
          outcome[2] = kStartUnusable;
          continue;
        }
        if (!guessed.empty()) {
          if (!own) own.emplace(m);
          for (const std::size_t e : guessed) own->values[e] = values[e];
          current = &*own;
        }
      } else {
        outcome[2] = kNoStart;  // the caller reads one and goes on from here
        break;
      }
    }
    try {
      auto [o, r] = fit_and_report(*current, y, theta, settings, options);
      outcome[0] = o.log_likelihood;
      outcome[1] = static_cast<double>(o.iterations);
      outcome[2] = static_cast<double>(o.status);
      outcome[3] = o.decrement;
      outcome[4] = static_cast<double>(o.evaluations);
      put(kTheta, i, theta);
      put(kParams, i, r.mapped.p);
      put(kStderr, i, r.stderr_params);
      put(kExtras, i, r.extras);
      put(kExtrasStderr, i, r.extras_stderr);
      put(kBackgroundCounts, i, r.background_counts);
      put(kBackgroundCovariance, i, r.background_covariance);
      std::copy(r.at_bound.begin(), r.at_bound.end(), row(kAtBound, i));
      std::copy(r.undetermined.begin(), r.undetermined.end(), row(kUndetermined, i));
      put(kHeight, i, r.height);
      put(kHeightStderr, i, r.height_stderr);
      put(kFwhm, i, r.fwhm);
      put(kFwhmStderr, i, r.fwhm_stderr);
      double* dispersion = row(kDispersion, i);
      dispersion[0] = r.dispersion;
      dispersion[1] = r.dispersion_p;
      dispersion[2] = r.dispersion_dof;
      if (finite_all(theta) && finite_all(r.mapped.p)) {
        previous = theta;
        have_previous = true;
      }
    } catch (const Stopped&) {
      throw;
    } catch (const std::exception&) {
      outcome[2] = 4.0;  // this spectrum could not be fitted; the others go on
    }
  }
  return tables;
}

}  // namespace velmora::engine
