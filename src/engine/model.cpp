// Building the engine's model from what the module surface hands over, and mapping theta to
// every parameter of it with the ties' first and second derivatives (engine.hpp).
//
// make_model reads the input in a fixed order -- the grid and the window, the peaks, the
// background terms, every parameter's role, the ties -- and refuses the first thing that does
// not hold together, naming it.
#include <cmath>
#include <stdexcept>
#include <string>

#include "engine/engine.hpp"
#include "stop.hpp"

namespace velmora::engine {
namespace {

constexpr std::size_t kNoTie = static_cast<std::size_t>(-1);

[[noreturn]] void invalid(const std::string& what) { throw std::invalid_argument(what); }

std::size_t below(std::size_t v, const char* what, std::size_t limit) {
  if (v >= limit) {
    invalid(std::string(what) + ": " + std::to_string(v) + " is not below " +
            std::to_string(limit));
  }
  return v;
}

void check_length(std::size_t got, std::size_t expected, const char* what) {
  if (got != expected) {
    invalid(std::string(what) + ": length " + std::to_string(got) + ", expected " +
            std::to_string(expected));
  }
}

// The grid (finite, strictly increasing, at least two points), its positive channel widths and
// the window.
void read_grid(ModelInput& in, Model& m) {
  const std::size_t n = in.u.size();
  if (n < 2) invalid("u: the grid needs at least two points");
  check_length(in.widths.size(), n, "widths");
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(in.u[i]) || (i > 0 && !(in.u[i] > in.u[i - 1]))) {
      invalid("u: the grid must be finite and strictly increasing (index " + std::to_string(i) +
              ")");
    }
    if (!(in.widths[i] > 0.0) || !std::isfinite(in.widths[i])) {
      invalid("widths: entry " + std::to_string(i) + " is not a positive number");
    }
  }
  if (!std::isfinite(in.x_min) || !std::isfinite(in.x_max) || !(in.x_min < in.x_max)) {
    invalid("window: x_min must be below x_max, both finite");
  }
  m.u = std::move(in.u);
  m.widths = std::move(in.widths);
  m.x_min = in.x_min;
  m.x_max = in.x_max;
}

// The peaks, by shape code (a position in the registry) and heating rate, their parameters one
// after another; the background's follow.
void read_peaks(const ModelInput& in, Model& m) {
  const std::size_t k_count = in.shapes.size();
  if (k_count == 0) invalid("shapes: at least one peak is needed");
  check_length(in.betas.size(), k_count, "betas");
  std::size_t first = 0;
  for (std::size_t j = 0; j < k_count; ++j) {
    const std::size_t code = below(in.shapes[j], "shapes", shapes::all_shapes().size());
    PeakTerm peak{&shapes::shape(code), in.betas[j], first};
    if (!(peak.beta > 0.0) || !std::isfinite(peak.beta)) {
      invalid("betas: entry " + std::to_string(j) + " is not a positive heating rate");
    }
    first += peak.shape->params.size() + 1;
    m.peaks.push_back(peak);
  }
  m.first_background = first;
}

// The fixed columns (each on the grid) and the terms that follow the peaks, each as its kind's
// code, its side and its kind's parameters.
void read_background(ModelInput& in, Model& m) {
  m.columns = std::move(in.columns);
  for (const std::vector<double>& c : m.columns) check_length(c.size(), m.n_points(), "columns");
  const std::span<const FollowKindInfo> kinds = follow_kinds();
  for (std::size_t t = 0; t < in.follows.size(); ++t) {
    const FollowInput& f = in.follows[t];
    const FollowKindInfo& info = kinds[below(f.kind, "follows: kind", kinds.size())];
    if (f.params.size() != info.params.size()) {
      invalid(std::string("follows: the ") + info.name + " term " + std::to_string(t) +
              " takes " + std::to_string(info.params.size()) + " parameters, got " +
              std::to_string(f.params.size()));
    }
    if (f.side != 1 && f.side != -1) invalid("follows: side expected +1 (below) or -1 (above)");
    m.follows.push_back(make_follow_term(info.kind, f.side > 0 ? Side::below : Side::above,
                                         f.params, m.u, m.widths));
  }
}

// Every parameter's role, its theta index or tie, its value and units, and the bounds of
// theta.  Returns the tie of every tied parameter (kNoTie for the others).
std::vector<std::size_t> read_parameters(ModelInput& in, Model& m) {
  const std::size_t n_params = m.first_background + m.columns.size() + m.follows.size();
  check_length(in.roles.size(), n_params, "roles");
  check_length(in.slots.size(), n_params, "slots");
  check_length(in.values.size(), n_params, "values");
  check_length(in.scale.size(), n_params, "scale");
  check_length(in.offset.size(), n_params, "offset");
  const std::size_t n_theta = in.lower.size();
  check_length(in.upper.size(), n_theta, "upper");
  for (std::size_t a = 0; a < n_theta; ++a) {
    if (std::isnan(in.lower[a]) || std::isnan(in.upper[a]) || in.lower[a] > in.upper[a]) {
      invalid("bounds of free parameter " + std::to_string(a) + " are NaN or reversed");
    }
  }
  const std::size_t n_ties = in.tie_target.size();
  check_length(in.tie_start.size(), n_ties + 1, "tie_start");

  std::vector<std::size_t> tie_of(n_params, kNoTie);
  std::vector<bool> theta_used(n_theta, false);
  for (std::size_t e = 0; e < n_params; ++e) {
    const std::size_t role = below(in.roles[e], "roles", 3);
    m.roles.push_back(static_cast<Role>(role));
    if (!(in.scale[e] != 0.0) || !std::isfinite(in.scale[e]) || !std::isfinite(in.offset[e])) {
      invalid("scale: parameter " + std::to_string(e) + " needs a finite, non-zero scale");
    }
    std::size_t slot = 0;
    if (m.roles[e] == Role::free) {
      slot = below(in.slots[e], "slots", n_theta);
      if (theta_used[slot]) {
        invalid("slots: free parameter " + std::to_string(slot) + " used twice");
      }
      theta_used[slot] = true;
    } else if (m.roles[e] == Role::tied) {
      slot = below(in.slots[e], "slots", n_ties);
      tie_of[e] = slot;
    } else if (!std::isfinite(in.values[e])) {
      invalid("values: fixed parameter " + std::to_string(e) + " is not finite");
    }
    m.slots.push_back(slot);
  }
  for (std::size_t a = 0; a < n_theta; ++a) {
    if (!theta_used[a]) invalid("slots: free parameter " + std::to_string(a) + " is not used");
  }
  m.values = std::move(in.values);
  m.scale = std::move(in.scale);
  m.offset = std::move(in.offset);
  m.lower = std::move(in.lower);
  m.upper = std::move(in.upper);
  return tie_of;
}

// The ties, in evaluation order: each may only use parameters that are not tied or whose tie
// comes earlier, and every tied parameter needs its tie.
void read_ties(const ModelInput& in, const std::vector<std::size_t>& tie_of, Model& m) {
  const std::size_t n_params = m.n_params();
  const std::size_t n_ties = in.tie_target.size();
  std::vector<bool> done(n_params, false);
  for (std::size_t t = 0; t < n_ties; ++t) {
    const std::size_t target = below(in.tie_target[t], "tie_target", n_params);
    if (m.roles[target] != Role::tied || tie_of[target] != t) {
      invalid("tie_target: tie " + std::to_string(t) + " gives parameter " +
              std::to_string(target) + ", which is not tied to it");
    }
    const std::size_t begin = below(in.tie_start[t], "tie_start", in.tie_code.size() / 2 + 1);
    const std::size_t end = below(in.tie_start[t + 1], "tie_start", in.tie_code.size() / 2 + 1);
    if (end < begin) invalid("tie_start: offsets must not decrease");
    ties::Program program = ties::decode(
        std::span<const double>(in.tie_code).subspan(2 * begin, 2 * (end - begin)), n_params);
    for (const ties::Instruction& ins : program) {
      if (ins.op != ties::Op::reference) continue;
      const auto r = static_cast<std::size_t>(ins.operand);
      if (m.roles[r] == Role::tied && !done[r]) {
        invalid("tie " + std::to_string(t) + " uses parameter " + std::to_string(r) +
                ", whose tie is evaluated later (or is itself)");
      }
    }
    done[target] = true;
    m.programs.push_back(std::move(program));
    m.targets.push_back(target);
  }
  for (std::size_t e = 0; e < n_params; ++e) {
    if (m.roles[e] == Role::tied && !done[e]) {
      invalid("roles: parameter " + std::to_string(e) + " is tied but no tie gives it");
    }
  }
}

// The second derivatives over theta of a tied parameter whose tie is curved (its program's own
// Hessian, or a curved parameter it refers to), from the jet of its program; empty when the tie
// is linear in theta.
std::vector<double> tie_hessian(const Model& m, const ties::Jet& jet, std::size_t target,
                                const Mapped& out) {
  const std::size_t n_theta = m.n_theta();
  const std::size_t r_count = jet.refs.size();
  bool curved = false;
  for (const double h : jet.hessian) curved = curved || h != 0.0;
  for (std::size_t x = 0; x < r_count; ++x) curved = curved || !out.hess[jet.refs[x]].empty();
  if (!curved) return {};
  const double st = m.scale[target];
  std::vector<double> h(n_theta * n_theta, 0.0);
  for (std::size_t x = 0; x < r_count; ++x) {
    const std::size_t r = jet.refs[x];
    if (!out.hess[r].empty()) {
      const double c = m.scale[r] / st * jet.gradient[x];
      for (std::size_t k = 0; k < n_theta * n_theta; ++k) h[k] += c * out.hess[r][k];
    }
    for (std::size_t y = 0; y < r_count; ++y) {
      const double hxy = jet.hessian[x * r_count + y];
      if (hxy == 0.0) continue;
      const std::size_t q = jet.refs[y];
      const double c = m.scale[r] * m.scale[q] / st * hxy;
      const double* jr = out.jac.data() + r * n_theta;
      const double* jq = out.jac.data() + q * n_theta;
      for (std::size_t a = 0; a < n_theta; ++a) {
        if (jr[a] == 0.0) continue;
        for (std::size_t b = 0; b < n_theta; ++b) h[a * n_theta + b] += c * jr[a] * jq[b];
      }
    }
  }
  return h;
}

}  // namespace

Model make_model(ModelInput in) {
  Model m;
  read_grid(in, m);
  read_peaks(in, m);
  read_background(in, m);
  const std::vector<std::size_t> tie_of = read_parameters(in, m);
  read_ties(in, tie_of, m);
  for (const PeakTerm& peak : m.peaks) {
    for (std::size_t q = 0; q < peak.shape->params.size(); ++q) {
      const std::size_t e = peak.first + q;
      if (peak.shape->params[q].kind == shapes::Kind::location && m.roles[e] == Role::tied) {
        m.tied_locations.push_back(e);
      }
    }
  }
  return m;
}

Mapped map_parameters(const Model& m, std::span<const double> theta, bool second_order) {
  Mapped out;
  map_parameters(m, theta, second_order, out);
  return out;
}

void map_parameters(const Model& m, std::span<const double> theta, bool second_order,
                    Mapped& out) {
  const std::size_t n_params = m.n_params();
  const std::size_t n_theta = m.n_theta();
  out.p.assign(n_params, 0.0);
  out.jac.assign(n_params * n_theta, 0.0);
  out.hess.assign(n_params, {});
  for (std::size_t e = 0; e < n_params; ++e) {
    if (m.roles[e] == Role::free) {
      out.p[e] = theta[m.slots[e]];
      out.jac[e * n_theta + m.slots[e]] = 1.0;
    } else if (m.roles[e] == Role::fixed) {
      out.p[e] = m.values[e];
    }
  }
  // Each tie in the caller's units (user = scale * value + offset), its value and Jacobian row
  // by the chain rule through the parameters it refers to.
  std::vector<double> user(n_params);
  for (std::size_t t = 0; t < m.programs.size(); ++t) {
    checkpoint();
    for (std::size_t e = 0; e < n_params; ++e) user[e] = m.scale[e] * out.p[e] + m.offset[e];
    const std::size_t target = m.targets[t];
    const ties::Jet jet = ties::evaluate(m.programs[t], user);
    const double st = m.scale[target];
    out.p[target] = (jet.value - m.offset[target]) / st;
    const std::size_t r_count = jet.refs.size();
    double* jt = out.jac.data() + target * n_theta;
    for (std::size_t x = 0; x < r_count; ++x) {
      const std::size_t r = jet.refs[x];
      const double c = m.scale[r] / st * jet.gradient[x];
      const double* jr = out.jac.data() + r * n_theta;
      for (std::size_t a = 0; a < n_theta; ++a) jt[a] += c * jr[a];
    }
    if (second_order) out.hess[target] = tie_hessian(m, jet, target, out);
  }
}

}  // namespace velmora::engine
