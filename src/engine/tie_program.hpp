// Ties between peak parameters, compiled into small programs the engine evaluates without the
// interpreter, with first and second derivatives.
//
// The velmora package parses a tie such as "Au4f7.x0 + 3.67" or
// "2*degrees(asin(1.0024848*sin(radians(Ka1.x0/2))))" with Python's own parser, checks it,
// and compiles it into a postfix program over the operations below: constants and references
// to other parameters are pushed, operators and functions pop their arguments and push their
// result.  The codes are this unit's; the package reads them from the core (op_table) and
// never writes them itself.
//
// Evaluation carries, for every value on the stack, its gradient and Hessian with respect to
// the distinct parameters the program references (second-order forward differentiation), so
// a tie's derivatives are exact to rounding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::ties {

enum class Op : std::uint8_t {
  constant = 0,   // push the operand
  reference = 1,  // push the parameter whose index is the operand
  add = 2,
  subtract = 3,
  multiply = 4,
  divide = 5,
  power = 6,
  negate = 7,
  sqrt = 8,
  exp = 9,
  log = 10,  // natural logarithm
  sin = 11,
  cos = 12,
  tan = 13,
  asin = 14,
  acos = 15,
  atan = 16,
  radians = 17,  // degrees to radians
  degrees = 18,  // radians to degrees
};
inline constexpr std::size_t kOpCount = 19;

struct OpInfo {
  Op op;
  const char* token;  // "const", "ref", "+", "-", "*", "/", "**", "neg", or the function name
  int arity;          // values popped (0 for const and ref)
};

// Every operation, in the order of their codes.
std::span<const OpInfo> op_table();

struct Instruction {
  Op op = Op::constant;
  double operand = 0.0;  // the constant, or the index of the referenced parameter
};
using Program = std::vector<Instruction>;

// Reads a program from pairs (code, operand), as the package hands them over.  Throws
// std::invalid_argument when a code is unknown, a reference index is not a whole number below
// n_parameters, or the program does not leave exactly one value (a stack that runs short, or
// values left over).
Program decode(std::span<const double> pairs, std::size_t n_parameters);

// The value of a program and its derivatives with respect to the parameters it references.
struct Jet {
  double value = 0.0;
  std::vector<std::size_t> refs;  // the distinct referenced indices, in order of first use
  std::vector<double> gradient;   // d value / d parameters[refs[a]]
  std::vector<double> hessian;    // d2 value / d refs[a] d refs[b], row-major, symmetric
};

// Evaluates a decoded program at `parameters` (indexed as its references are).  Values
// outside a function's domain give NaN, as the C library does.
Jet evaluate(const Program& program, std::span<const double> parameters);

// The value alone.
double value(const Program& program, std::span<const double> parameters);

}  // namespace velmora::ties
