// Compiled ties: decoding of the package's (code, operand) pairs, and evaluation of the postfix
// program with exact first and second derivatives.
//
// Evaluation is second-order forward differentiation.  Every stack value is a jet: its value,
// its gradient g and its Hessian H over the n distinct parameters the program references.  An
// operation f of one argument u gives
//   g_f = f'(u) g_u,   H_f = f'(u) H_u + f''(u) g_u g_u^T,
// and one of two arguments a, b gives, with the partial derivatives f_a, f_b, f_aa, f_ab, f_bb
// at (a, b),
//   g_f = f_a g_a + f_b g_b,
//   H_f = f_a H_a + f_b H_b + f_aa g_a g_a^T + f_bb g_b g_b^T + f_ab (g_a g_b^T + g_b g_a^T).
// A term is left out when its coefficient is zero or its argument does not depend on any
// parameter (a constant subexpression), so that, for instance, 0 * sqrt(x) at x = 0 has the
// derivative 0 and 2 ** x does not form 0 * log-terms of a constant base.  A power whose
// exponent is constant is differentiated as u^c (c u^(c-1), c (c-1) u^(c-2)), which holds for
// a negative base too; a power with a varying exponent as exp(b log a).  When a value is NaN
// (an argument outside a function's domain) its derivatives are NaN as well.
#include "engine/tie_program.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

namespace velmora::ties {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.141592653589793;         // pi
constexpr double kRadiansPerDegree = kPi / 180.0;  // 0.017453292519943295
constexpr double kDegreesPerRadian = 180.0 / kPi;  // 57.29577951308232

// Programs up to this length evaluate their value on a stack that lives on the machine stack.
constexpr std::size_t kShortProgram = 64;

constexpr std::array<OpInfo, kOpCount> kOps = {{
    {Op::constant, "const", 0},
    {Op::reference, "ref", 0},
    {Op::add, "+", 2},
    {Op::subtract, "-", 2},
    {Op::multiply, "*", 2},
    {Op::divide, "/", 2},
    {Op::power, "**", 2},
    {Op::negate, "neg", 1},
    {Op::sqrt, "sqrt", 1},
    {Op::exp, "exp", 1},
    {Op::log, "log", 1},
    {Op::sin, "sin", 1},
    {Op::cos, "cos", 1},
    {Op::tan, "tan", 1},
    {Op::asin, "asin", 1},
    {Op::acos, "acos", 1},
    {Op::atan, "atan", 1},
    {Op::radians, "radians", 1},
    {Op::degrees, "degrees", 1},
}};

int arity(Op op) { return kOps[static_cast<std::size_t>(op)].arity; }

// A number as a message shows it: 19, 2.5, nan.
std::string text(double x) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", x);
  return buffer;
}

[[noreturn]] void refuse(std::size_t instruction, const std::string& what) {
  throw std::invalid_argument("tie program, instruction " + std::to_string(instruction) + ": " +
                              what);
}

// The operations and the stack's depth after each instruction, checked: every operation is
// known and finds its arguments, and the program ends with exactly one value.
void check_stack(const Program& program) {
  if (program.empty()) throw std::invalid_argument("tie program: the program is empty");
  std::size_t depth = 0;
  for (std::size_t i = 0; i < program.size(); ++i) {
    if (static_cast<std::size_t>(program[i].op) >= kOpCount) {
      refuse(i, "unknown operation code " + std::to_string(static_cast<int>(program[i].op)));
    }
    const std::size_t k = static_cast<std::size_t>(arity(program[i].op));
    if (depth < k) {
      refuse(i, std::string("'") + kOps[static_cast<std::size_t>(program[i].op)].token +
                    "' needs " + std::to_string(k) + " value(s), the stack holds " +
                    std::to_string(depth));
    }
    depth = depth - k + 1;
  }
  if (depth != 1) {
    throw std::invalid_argument("tie program: leaves " + std::to_string(depth) +
                                " values on the stack, expected 1");
  }
}

// The value of a function of one argument.
double apply(Op op, double u) {
  switch (op) {
    case Op::negate: return -u;
    case Op::sqrt: return std::sqrt(u);
    case Op::exp: return std::exp(u);
    case Op::log: return std::log(u);
    case Op::sin: return std::sin(u);
    case Op::cos: return std::cos(u);
    case Op::tan: return std::tan(u);
    case Op::asin: return std::asin(u);
    case Op::acos: return std::acos(u);
    case Op::atan: return std::atan(u);
    case Op::radians: return u * kRadiansPerDegree;
    case Op::degrees: return u * kDegreesPerRadian;
    default: return kNaN;
  }
}

// The value of an operator of two arguments.
double apply(Op op, double a, double b) {
  switch (op) {
    case Op::add: return a + b;
    case Op::subtract: return a - b;
    case Op::multiply: return a * b;
    case Op::divide: return a / b;
    case Op::power: return std::pow(a, b);
    default: return kNaN;
  }
}

// A stack value with its derivatives; `varies` is false for a value computed from constants
// alone, whose derivatives are zero whatever the parameters.
struct Value {
  double value = 0.0;
  bool varies = false;
  std::vector<double> g;  // n
  std::vector<double> h;  // n * n, row-major
};

struct Partials1 {
  double d1;  // f'(u)
  double d2;  // f''(u)
};

// f'(u) and f''(u) of a function of one argument whose value at u is f.
Partials1 partials(Op op, double u, double f) {
  switch (op) {
    case Op::negate: return {-1.0, 0.0};
    case Op::sqrt: {
      const double d1 = 0.5 / f;
      return {d1, -0.5 * d1 / u};  // -1 / (4 u sqrt u)
    }
    case Op::exp: return {f, f};
    case Op::log: return {1.0 / u, -1.0 / (u * u)};
    case Op::sin: return {std::cos(u), -f};
    case Op::cos: return {-std::sin(u), -f};
    case Op::tan: {
      const double d1 = 1.0 + f * f;  // sec^2 u
      return {d1, 2.0 * f * d1};
    }
    case Op::asin:
    case Op::acos: {
      const double q = 1.0 - u * u;
      const double d1 = 1.0 / std::sqrt(q);  // 1 / sqrt(1 - u^2)
      const double d2 = u * d1 / q;          // u / (1 - u^2)^(3/2)
      return op == Op::asin ? Partials1{d1, d2} : Partials1{-d1, -d2};
    }
    case Op::atan: {
      const double q = 1.0 + u * u;
      return {1.0 / q, -2.0 * u / (q * q)};
    }
    case Op::radians: return {kRadiansPerDegree, 0.0};
    case Op::degrees: return {kDegreesPerRadian, 0.0};
    default: return {kNaN, kNaN};
  }
}

struct Partials2 {
  double a, b, aa, ab, bb;  // f_a, f_b, f_aa, f_ab, f_bb
};

// The partial derivatives of an operator of two arguments whose value at (a, b) is f.
// `constant_exponent` selects the rule u^c for a power.
Partials2 partials(Op op, double a, double b, double f, bool constant_exponent) {
  switch (op) {
    case Op::add: return {1.0, 1.0, 0.0, 0.0, 0.0};
    case Op::subtract: return {1.0, -1.0, 0.0, 0.0, 0.0};
    case Op::multiply: return {b, a, 0.0, 1.0, 0.0};
    case Op::divide: {
      const double r = 1.0 / b;
      const double q = f * r;  // a / b^2
      return {r, -q, 0.0, -r * r, 2.0 * q * r};
    }
    case Op::power: {
      if (constant_exponent) {
        // d/da a^c = c a^(c-1), d2/da2 = c (c-1) a^(c-2); exact at integer c for any sign of a.
        if (b == 0.0) return {0.0, 0.0, 0.0, 0.0, 0.0};
        const double d1 = b * std::pow(a, b - 1.0);
        const double d2 = b == 1.0 ? 0.0 : b * (b - 1.0) * std::pow(a, b - 2.0);
        return {d1, 0.0, d2, 0.0, 0.0};
      }
      // f = a^b:  f_a = b a^(b-1),  f_b = a^b log a,  f_aa = b (b-1) a^(b-2),
      // f_ab = a^(b-1) (1 + b log a),  f_bb = a^b (log a)^2.  A zero power times log 0 is
      // taken as its limit, zero.
      const double la = std::log(a);
      const double p1 = std::pow(a, b - 1.0);
      const double fb = f == 0.0 ? 0.0 : f * la;
      const double fbb = f == 0.0 ? 0.0 : fb * la;
      const double fab = p1 == 0.0 ? 0.0 : p1 + p1 * (b * la);
      const double fa = b * p1;
      const double faa = b * (b - 1.0) * std::pow(a, b - 2.0);
      return {fa, fb, faa, fab, fbb};
    }
    default: return {kNaN, kNaN, kNaN, kNaN, kNaN};
  }
}

// out += c * x, unless c is zero.
void add_scaled(std::vector<double>& out, double c, const std::vector<double>& x) {
  if (c == 0.0) return;
  for (std::size_t i = 0; i < out.size(); ++i) out[i] += c * x[i];
}

// h += c (x y^T + y x^T) when `symmetrised`, else h += c x x^T (with y = x); the upper
// triangle is formed and mirrored, so the Hessian stays symmetric bit for bit.
void add_outer(std::vector<double>& h, double c, const std::vector<double>& x,
               const std::vector<double>& y, bool symmetrised) {
  if (c == 0.0) return;
  const std::size_t n = x.size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i; j < n; ++j) {
      const double t = symmetrised ? x[i] * y[j] + y[i] * x[j] : x[i] * x[j];
      h[i * n + j] += c * t;
      if (j != i) h[j * n + i] = h[i * n + j];
    }
  }
}

void fill_nan(Value& v) {
  std::fill(v.g.begin(), v.g.end(), kNaN);
  std::fill(v.h.begin(), v.h.end(), kNaN);
}

// u replaced by f(u).
void apply_unary(Op op, Value& u) {
  const double f = apply(op, u.value);
  if (u.varies) {
    const Partials1 d = partials(op, u.value, f);
    std::vector<double> h(u.h.size(), 0.0);
    add_scaled(h, d.d1, u.h);
    add_outer(h, d.d2, u.g, u.g, false);
    for (double& gi : u.g) gi = d.d1 == 0.0 ? 0.0 : d.d1 * gi;
    u.h = std::move(h);
    if (std::isnan(f)) fill_nan(u);
  }
  u.value = f;
}

// a replaced by a op b.
void apply_binary(Op op, Value& a, const Value& b) {
  const double f = apply(op, a.value, b.value);
  if (a.varies || b.varies) {
    const Partials2 d = partials(op, a.value, b.value, f, !b.varies);
    const std::size_t n = a.g.size();
    std::vector<double> g(n, 0.0);
    std::vector<double> h(n * n, 0.0);
    if (a.varies) {
      add_scaled(g, d.a, a.g);
      add_scaled(h, d.a, a.h);
      add_outer(h, d.aa, a.g, a.g, false);
    }
    if (b.varies) {
      add_scaled(g, d.b, b.g);
      add_scaled(h, d.b, b.h);
      add_outer(h, d.bb, b.g, b.g, false);
    }
    if (a.varies && b.varies) add_outer(h, d.ab, a.g, b.g, true);
    a.g = std::move(g);
    a.h = std::move(h);
    a.varies = true;
    if (std::isnan(f)) fill_nan(a);
  }
  a.value = f;
}

// The index of a reference instruction, checked against the parameters at hand.
std::size_t reference_index(const Instruction& in, std::size_t n_parameters) {
  const double r = in.operand;
  if (!(r >= 0.0) || r != std::floor(r) || !(r < static_cast<double>(n_parameters))) {
    throw std::invalid_argument("tie program: reference " + text(r) +
                                " is not a parameter index below " +
                                std::to_string(n_parameters));
  }
  return static_cast<std::size_t>(r);
}

}  // namespace

std::span<const OpInfo> op_table() { return kOps; }

Program decode(std::span<const double> pairs, std::size_t n_parameters) {
  if (pairs.size() % 2 != 0) {
    throw std::invalid_argument("tie program: " + std::to_string(pairs.size()) +
                                " numbers do not form (code, operand) pairs");
  }
  Program program(pairs.size() / 2);
  for (std::size_t i = 0; i < program.size(); ++i) {
    const double code = pairs[2 * i];
    if (!(code >= 0.0) || code != std::floor(code) ||
        !(code < static_cast<double>(kOpCount))) {
      refuse(i, "unknown operation code " + text(code));
    }
    program[i].op = static_cast<Op>(static_cast<std::uint8_t>(code));
    program[i].operand = pairs[2 * i + 1];
    if (program[i].op == Op::reference) {
      const double r = program[i].operand;
      if (!(r >= 0.0) || r != std::floor(r)) {
        refuse(i, "reference index " + text(r) + " is not a whole number >= 0");
      }
      if (!(r < static_cast<double>(n_parameters))) {
        refuse(i, "reference index " + text(r) +
                      " is out of range (" + std::to_string(n_parameters) + " parameters)");
      }
    }
  }
  check_stack(program);
  return program;
}

Jet evaluate(const Program& program, std::span<const double> parameters) {
  check_stack(program);
  Jet jet;
  // The distinct references in order of first use, and each reference's slot among them.
  std::vector<std::size_t> slot(program.size(), 0);
  for (std::size_t i = 0; i < program.size(); ++i) {
    if (program[i].op != Op::reference) continue;
    const std::size_t index = reference_index(program[i], parameters.size());
    const auto found = std::find(jet.refs.begin(), jet.refs.end(), index);
    slot[i] = static_cast<std::size_t>(found - jet.refs.begin());
    if (found == jet.refs.end()) jet.refs.push_back(index);
  }
  const std::size_t n = jet.refs.size();

  std::vector<Value> stack;
  stack.reserve(program.size());
  for (std::size_t i = 0; i < program.size(); ++i) {
    const Instruction& in = program[i];
    switch (in.op) {
      case Op::constant:
      case Op::reference: {
        Value v;
        v.g.assign(n, 0.0);
        v.h.assign(n * n, 0.0);
        if (in.op == Op::constant) {
          v.value = in.operand;
        } else {
          v.value = parameters[jet.refs[slot[i]]];
          v.varies = true;
          v.g[slot[i]] = 1.0;
        }
        stack.push_back(std::move(v));
        break;
      }
      default:
        if (arity(in.op) == 1) {
          apply_unary(in.op, stack.back());
        } else {
          Value b = std::move(stack.back());
          stack.pop_back();
          apply_binary(in.op, stack.back(), b);
        }
    }
  }
  Value& result = stack.back();
  jet.value = result.value;
  jet.gradient = std::move(result.g);
  jet.hessian = std::move(result.h);
  return jet;
}

double value(const Program& program, std::span<const double> parameters) {
  check_stack(program);
  std::array<double, kShortProgram> local{};
  std::vector<double> heap;
  double* stack = local.data();
  if (program.size() > kShortProgram) {
    heap.resize(program.size());
    stack = heap.data();
  }
  std::size_t top = 0;  // values on the stack
  for (const Instruction& in : program) {
    switch (in.op) {
      case Op::constant: stack[top++] = in.operand; break;
      case Op::reference: stack[top++] = parameters[reference_index(in, parameters.size())]; break;
      default:
        if (arity(in.op) == 1) {
          stack[top - 1] = apply(in.op, stack[top - 1]);
        } else {
          --top;
          stack[top - 1] = apply(in.op, stack[top - 1], stack[top]);
        }
    }
  }
  return stack[0];
}

}  // namespace velmora::ties
