// Error type of the numerical core.
//
// The core reports exactly one kind of failure by exception: a violated length or index
// precondition (an array shorter than the number of components, an intensity vector longer
// than the grid, a bound pair that cannot clamp a value).  Degenerate numerical data are never
// errors; they flow on as numbers.  The module surface turns InternalError into the Python
// internal-error exception; no exception of the core reaches the interpreter unmapped.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>

namespace velmora {

class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws unless `values` has an entry at `index`; `what` names the array for the message.
template <class T>
const T& checked_at(std::span<const T> values, std::size_t index, const char* what) {
  if (index >= values.size()) {
    throw InternalError(std::string(what) + " has " + std::to_string(values.size()) +
                        " entries but component " + std::to_string(index) +
                        " needs one; every per-component array needs an entry per component");
  }
  return values[index];
}

}  // namespace velmora
