// Compiled ties: the derivatives of every operation agree with central differences and with
// closed forms (the Kα2 position from Bragg's law, a quotient, a power with a varying
// exponent), repeated references collect into one, decode refuses malformed programs, and
// values outside a function's domain give NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tie_program.hpp"

namespace {

namespace ties = velmora::ties;
using ties::Op;

constexpr double kPi = 3.141592653589793;
constexpr double kRadiansPerDegree = kPi / 180.0;
// Cu Kα2 / Kα1 wavelength ratio, as in the tie "2*degrees(asin(1.0024848*sin(radians(x/2))))".
constexpr double kKalphaRatio = 1.0024848;

// Builds the pairs (code, operand) of a program.
struct Pairs {
  std::vector<double> v;
  Pairs& c(double x) { return put(Op::constant, x); }
  Pairs& r(double i) { return put(Op::reference, i); }
  Pairs& o(Op op) { return put(op, 0.0); }
  Pairs& put(Op op, double operand) {
    v.push_back(static_cast<double>(static_cast<int>(op)));
    v.push_back(operand);
    return *this;
  }
};

ties::Program program(const Pairs& p, std::size_t n) { return ties::decode(p.v, n); }

// The gradient of `prog` over its refs by central differences of its value, and the Hessian
// by central differences of the exact gradient.
struct Differences {
  std::vector<double> gradient, hessian;
};

Differences central(const ties::Program& prog, std::vector<double> x,
                    const std::vector<std::size_t>& refs) {
  const std::size_t n = refs.size();
  Differences d{std::vector<double>(n), std::vector<double>(n * n)};
  for (std::size_t a = 0; a < n; ++a) {
    double& xa = x[refs[a]];
    const double x0 = xa;
    const double h = 1e-5 * std::max(1.0, std::fabs(x0));
    xa = x0 + h;
    const double fp = ties::value(prog, x);
    const std::vector<double> gp = ties::evaluate(prog, x).gradient;
    xa = x0 - h;
    const double fm = ties::value(prog, x);
    const std::vector<double> gm = ties::evaluate(prog, x).gradient;
    xa = x0;
    d.gradient[a] = (fp - fm) / (2.0 * h);
    for (std::size_t b = 0; b < n; ++b) d.hessian[b * n + a] = (gp[b] - gm[b]) / (2.0 * h);
  }
  return d;
}

void expect_close(double got, double want, double tol, const std::string& what) {
  EXPECT_NEAR(got, want, tol * std::max(1.0, std::fabs(want))) << what;
}

// The exact derivatives agree with the differences, the Hessian is symmetric bit for bit, and
// value() gives the value of evaluate().
void expect_consistent(const Pairs& p, const std::vector<double>& x, const std::string& what) {
  const ties::Program prog = program(p, x.size());
  const ties::Jet jet = ties::evaluate(prog, x);
  const std::size_t n = jet.refs.size();
  ASSERT_EQ(jet.gradient.size(), n) << what;
  ASSERT_EQ(jet.hessian.size(), n * n) << what;
  EXPECT_EQ(ties::value(prog, x), jet.value) << what;
  ASSERT_TRUE(std::isfinite(jet.value)) << what;
  const Differences d = central(prog, x, jet.refs);
  for (std::size_t a = 0; a < n; ++a) {
    expect_close(jet.gradient[a], d.gradient[a], 1e-7, what + " gradient " + std::to_string(a));
    for (std::size_t b = 0; b < n; ++b) {
      expect_close(jet.hessian[a * n + b], d.hessian[a * n + b], 1e-7,
                   what + " hessian " + std::to_string(a) + "," + std::to_string(b));
      EXPECT_EQ(jet.hessian[a * n + b], jet.hessian[b * n + a]) << what;
    }
  }
}

TEST(TieOpTable, ListsEveryOperationInCodeOrder) {
  const auto table = ties::op_table();
  ASSERT_EQ(table.size(), ties::kOpCount);
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(table[i].op), i);
  }
  EXPECT_STREQ(table[0].token, "const");
  EXPECT_STREQ(table[1].token, "ref");
  EXPECT_STREQ(table[6].token, "**");
  EXPECT_STREQ(table[7].token, "neg");
  EXPECT_STREQ(table[18].token, "degrees");
  EXPECT_EQ(table[0].arity, 0);
  EXPECT_EQ(table[5].arity, 2);
  EXPECT_EQ(table[7].arity, 1);
  EXPECT_EQ(table[14].arity, 1);
}

// Every function of one argument, applied to x*y + x so that the argument's own gradient and
// Hessian are not trivial.
TEST(TieDerivatives, FunctionsAgreeWithCentralDifferences) {
  struct Case {
    Op op;
    double x, y;
  };
  const Case cases[] = {
      {Op::negate, 0.7, 1.3},   {Op::sqrt, 0.7, 1.3},     {Op::exp, 0.7, 1.3},
      {Op::log, 0.7, 1.3},      {Op::sin, 0.7, 1.3},      {Op::cos, 0.7, 1.3},
      {Op::tan, 0.4, 0.9},      {Op::asin, 0.3, 0.5},     {Op::acos, 0.3, 0.5},
      {Op::atan, 0.7, 1.3},     {Op::radians, 20.0, 1.5}, {Op::degrees, 0.7, 1.3},
      {Op::asin, -0.4, 0.7},    {Op::acos, -0.4, 0.7},    {Op::sqrt, 30.0, 2.0},
  };
  for (const Case& c : cases) {
    Pairs p;
    p.r(0).r(1).o(Op::multiply).r(0).o(Op::add).o(c.op);
    expect_consistent(p, {c.x, c.y}, ties::op_table()[static_cast<int>(c.op)].token);
  }
}

// Every operator of two arguments, applied to a = x*y and b = exp(y) + x*x.
TEST(TieDerivatives, OperatorsAgreeWithCentralDifferences) {
  for (Op op : {Op::add, Op::subtract, Op::multiply, Op::divide, Op::power}) {
    Pairs p;
    p.r(0).r(1).o(Op::multiply).r(1).o(Op::exp).r(0).r(0).o(Op::multiply).o(Op::add).o(op);
    expect_consistent(p, {0.7, 1.3}, ties::op_table()[static_cast<int>(op)].token);
  }
  // One argument constant: the terms of the other alone.
  for (Op op : {Op::add, Op::subtract, Op::multiply, Op::divide, Op::power}) {
    Pairs left, right;
    left.c(1.7).r(0).o(Op::sin).o(op);
    right.r(0).o(Op::sin).c(1.7).o(op);
    const std::string token = ties::op_table()[static_cast<int>(op)].token;
    expect_consistent(left, {0.9}, "1.7 " + token + " sin(x)");
    expect_consistent(right, {0.9}, "sin(x) " + token + " 1.7");
  }
}

TEST(TieDerivatives, BraggTieOfTheKalpha2Position) {
  // x0(Kα2) = 2 degrees(asin(k sin(radians(x0(Kα1) / 2)))), with theta = radians(x0 / 2),
  // u = k sin theta:  d/dx0 = k cos theta / sqrt(1 - u^2),
  // d2/dx0^2 = (k pi / 360) (k u cos^2 theta / (1 - u^2)^(3/2) - sin theta / sqrt(1 - u^2)).
  Pairs p;
  p.c(2.0).c(kKalphaRatio).r(0).c(2.0).o(Op::divide).o(Op::radians).o(Op::sin).o(Op::multiply)
      .o(Op::asin).o(Op::degrees).o(Op::multiply);
  const ties::Program prog = program(p, 1);
  for (double x0 : {28.44, 44.39, 64.58, 98.5, 136.0}) {
    const ties::Jet jet = ties::evaluate(prog, std::vector<double>{x0});
    const double theta = x0 / 2.0 * kRadiansPerDegree;
    const double u = kKalphaRatio * std::sin(theta);
    const double q = 1.0 - u * u;
    const double want = 2.0 * std::asin(u) / kRadiansPerDegree;
    const double d1 = kKalphaRatio * std::cos(theta) / std::sqrt(q);
    const double d2 = kKalphaRatio * kRadiansPerDegree / 2.0 *
                      (kKalphaRatio * u * std::cos(theta) * std::cos(theta) / (q * std::sqrt(q)) -
                       std::sin(theta) / std::sqrt(q));
    EXPECT_NEAR(jet.value, want, 1e-12 * want);
    EXPECT_GT(jet.value, x0);
    EXPECT_NEAR(jet.gradient[0], d1, 1e-13 * std::fabs(d1));
    EXPECT_NEAR(jet.hessian[0], d2, 1e-11 * std::fabs(d2));
    expect_consistent(p, {x0}, "Bragg at " + std::to_string(x0));
  }
}

TEST(TieDerivatives, QuotientClosedForm) {
  Pairs p;
  p.r(2).r(0).o(Op::divide);  // x / y with x = parameters[2], y = parameters[0]
  const ties::Program prog = program(p, 3);
  const double x = 3.5, y = -1.25;
  const ties::Jet jet = ties::evaluate(prog, std::vector<double>{y, 99.0, x});
  ASSERT_EQ(jet.refs, (std::vector<std::size_t>{2, 0}));
  EXPECT_DOUBLE_EQ(jet.value, x / y);
  EXPECT_DOUBLE_EQ(jet.gradient[0], 1.0 / y);
  EXPECT_DOUBLE_EQ(jet.gradient[1], -x / (y * y));
  EXPECT_EQ(jet.hessian[0], 0.0);
  EXPECT_DOUBLE_EQ(jet.hessian[1], -1.0 / (y * y));
  EXPECT_DOUBLE_EQ(jet.hessian[2], -1.0 / (y * y));
  EXPECT_DOUBLE_EQ(jet.hessian[3], 2.0 * x / (y * y * y));
}

TEST(TieDerivatives, PowerWithVaryingExponentClosedForm) {
  Pairs p;
  p.r(0).r(1).o(Op::power);
  const ties::Program prog = program(p, 2);
  for (const auto& [x, y] : {std::pair{1.7, 2.3}, std::pair{0.4, -1.5}, std::pair{5.0, 0.5}}) {
    const ties::Jet jet = ties::evaluate(prog, std::vector<double>{x, y});
    const double f = std::pow(x, y), lx = std::log(x);
    EXPECT_DOUBLE_EQ(jet.value, f);
    EXPECT_DOUBLE_EQ(jet.gradient[0], y * std::pow(x, y - 1.0));
    EXPECT_DOUBLE_EQ(jet.gradient[1], f * lx);
    EXPECT_DOUBLE_EQ(jet.hessian[0], y * (y - 1.0) * std::pow(x, y - 2.0));
    EXPECT_DOUBLE_EQ(jet.hessian[1], std::pow(x, y - 1.0) * (1.0 + y * lx));
    EXPECT_EQ(jet.hessian[1], jet.hessian[2]);
    EXPECT_DOUBLE_EQ(jet.hessian[3], f * lx * lx);
  }
}

TEST(TieDerivatives, PowerWithConstantExponentHoldsForANegativeBase) {
  // x ** 3 at x < 0 is differentiable although log x is not defined there.
  Pairs cube;
  cube.r(0).c(3.0).o(Op::power);
  const ties::Jet jet = ties::evaluate(program(cube, 1), std::vector<double>{-1.5});
  EXPECT_EQ(jet.value, -3.375);
  EXPECT_EQ(jet.gradient[0], 6.75);
  EXPECT_EQ(jet.hessian[0], -9.0);
  // A constant base: 2 ** x.
  Pairs two;
  two.c(2.0).r(0).o(Op::power);
  const ties::Jet j2 = ties::evaluate(program(two, 1), std::vector<double>{1.5});
  EXPECT_DOUBLE_EQ(j2.gradient[0], std::pow(2.0, 1.5) * std::log(2.0));
  EXPECT_DOUBLE_EQ(j2.hessian[0], std::pow(2.0, 1.5) * std::log(2.0) * std::log(2.0));
  // Exponents 0, 1, 2 and a negative one, by central differences too.
  for (double c : {0.0, 1.0, 2.0, -2.0, 2.5}) {
    Pairs p;
    p.r(0).o(Op::exp).c(c).o(Op::power);
    expect_consistent(p, {0.3}, "exp(x) ** " + std::to_string(c));
  }
}

TEST(TieDerivatives, RepeatedReferenceIsOneVariable) {
  Pairs square;
  square.r(1).r(1).o(Op::multiply);
  const ties::Jet jet = ties::evaluate(program(square, 2), std::vector<double>{5.0, -3.0});
  ASSERT_EQ(jet.refs, std::vector<std::size_t>{1});
  EXPECT_EQ(jet.value, 9.0);
  EXPECT_EQ(jet.gradient, std::vector<double>{-6.0});
  EXPECT_EQ(jet.hessian, std::vector<double>{2.0});
  // References keep the order of their first use, however often they come back.
  Pairs mixed;
  mixed.r(3).r(1).o(Op::multiply).r(3).o(Op::add).r(0).o(Op::subtract).r(1).o(Op::multiply);
  const std::vector<double> x{0.5, -1.25, 7.0, 2.0};
  const ties::Jet jm = ties::evaluate(program(mixed, 4), x);
  EXPECT_EQ(jm.refs, (std::vector<std::size_t>{3, 1, 0}));
  expect_consistent(mixed, x, "(x3 x1 + x3 - x0) x1");
}

TEST(TieDerivatives, ConstantProgramHasNoDerivatives) {
  Pairs p;
  p.c(2.0).o(Op::sqrt).c(3.0).o(Op::multiply);
  const ties::Jet jet = ties::evaluate(program(p, 0), std::vector<double>{});
  EXPECT_DOUBLE_EQ(jet.value, 3.0 * std::sqrt(2.0));
  EXPECT_TRUE(jet.refs.empty());
  EXPECT_TRUE(jet.gradient.empty());
  EXPECT_TRUE(jet.hessian.empty());
}

TEST(TieDerivatives, ZeroFactorCancelsASingularDerivative) {
  // 0 * sqrt(x) is zero for every x >= 0; its derivative at 0 is 0, not 0 * inf.
  Pairs p;
  p.c(0.0).r(0).o(Op::sqrt).o(Op::multiply);
  const ties::Jet jet = ties::evaluate(program(p, 1), std::vector<double>{0.0});
  EXPECT_EQ(jet.value, 0.0);
  EXPECT_EQ(jet.gradient[0], 0.0);
  EXPECT_EQ(jet.hessian[0], 0.0);
}

TEST(TieDomain, OutsideTheDomainGivesNaN) {
  for (const auto& [op, x] : {std::pair{Op::sqrt, -1.0}, std::pair{Op::asin, 2.0},
                              std::pair{Op::acos, -2.0}, std::pair{Op::log, -1.0}}) {
    Pairs p;
    p.r(0).o(op);
    const ties::Program prog = program(p, 1);
    const ties::Jet jet = ties::evaluate(prog, std::vector<double>{x});
    EXPECT_TRUE(std::isnan(jet.value));
    EXPECT_TRUE(std::isnan(jet.gradient[0]));
    EXPECT_TRUE(std::isnan(jet.hessian[0]));
    EXPECT_TRUE(std::isnan(ties::value(prog, std::vector<double>{x})));
  }
  // A NaN inside carries through the operations after it.
  Pairs p;
  p.r(0).o(Op::sqrt).r(1).o(Op::multiply).c(1.0).o(Op::add);
  const ties::Jet jet = ties::evaluate(program(p, 2), std::vector<double>{-4.0, 0.0});
  EXPECT_TRUE(std::isnan(jet.value));
  for (double g : jet.gradient) EXPECT_TRUE(std::isnan(g));
}

void expect_refused(const std::vector<double>& pairs, std::size_t n, const std::string& words) {
  try {
    ties::decode(pairs, n);
    ADD_FAILURE() << "accepted a program that should be refused (" << words << ")";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
  }
}

TEST(TieDecode, RefusesMalformedPrograms) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Unknown codes.
  expect_refused({19.0, 0.0}, 1, "unknown operation");
  expect_refused({-1.0, 0.0}, 1, "unknown operation");
  expect_refused({2.5, 0.0}, 1, "unknown operation");
  expect_refused({nan, 0.0}, 1, "unknown operation");
  // Reference indices.
  expect_refused({1.0, 2.0}, 2, "out of range");
  expect_refused({1.0, 0.0}, 0, "out of range");
  expect_refused({1.0, 0.5}, 2, "whole number");
  expect_refused({1.0, -1.0}, 2, "whole number");
  expect_refused({1.0, nan}, 2, "whole number");
  // The stack: an operator without its arguments, values left over, nothing at all.
  expect_refused(Pairs{}.c(1.0).o(Op::add).v, 0, "needs 2");
  expect_refused(Pairs{}.o(Op::sqrt).v, 0, "needs 1");
  expect_refused(Pairs{}.c(1.0).c(2.0).v, 0, "leaves 2 values");
  expect_refused(Pairs{}.r(0).r(0).o(Op::add).r(0).v, 1, "leaves 2 values");
  expect_refused({}, 3, "empty");
  expect_refused({0.0, 1.0, 2.0}, 3, "pairs");
}

TEST(TieDecode, AcceptsAndKeepsOperands) {
  const ties::Program prog = program(Pairs{}.c(-2.5).r(4).o(Op::power), 5);
  ASSERT_EQ(prog.size(), 3u);
  EXPECT_EQ(prog[0].op, Op::constant);
  EXPECT_EQ(prog[0].operand, -2.5);
  EXPECT_EQ(prog[1].op, Op::reference);
  EXPECT_EQ(prog[1].operand, 4.0);
  EXPECT_EQ(prog[2].op, Op::power);
}

TEST(TieEvaluate, RefusesAProgramItCannotRun) {
  // Programs built by hand, not through decode: too few parameters, or a short stack.
  const ties::Program ref{{Op::reference, 3.0}};
  EXPECT_THROW(ties::evaluate(ref, std::vector<double>{1.0}), std::invalid_argument);
  EXPECT_THROW(ties::value(ref, std::vector<double>{1.0}), std::invalid_argument);
  const ties::Program short_stack{{Op::constant, 1.0}, {Op::multiply, 0.0}};
  EXPECT_THROW(ties::evaluate(short_stack, std::vector<double>{}), std::invalid_argument);
  EXPECT_THROW(ties::value(short_stack, std::vector<double>{}), std::invalid_argument);
}

TEST(TieEvaluate, LongProgramsEvaluate) {
  // More instructions than the value's stack keeps on the machine stack: 1 + x + x + ...
  Pairs p;
  p.c(1.0);
  for (int i = 0; i < 100; ++i) p.r(0).o(Op::add);
  const ties::Program prog = program(p, 1);
  EXPECT_EQ(ties::value(prog, std::vector<double>{0.5}), 51.0);
  EXPECT_EQ(ties::evaluate(prog, std::vector<double>{0.5}).gradient[0], 100.0);
  // A deep stack: x + (x + (x + ...)).
  Pairs deep;
  for (int i = 0; i < 100; ++i) deep.r(0);
  for (int i = 0; i < 99; ++i) deep.o(Op::add);
  EXPECT_EQ(ties::value(program(deep, 1), std::vector<double>{0.25}), 25.0);
}

}  // namespace
