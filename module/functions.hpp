// The module's functions, in the order they are registered.
#pragma once

#include <vector>

#include "binding.hpp"
#include "py.hpp"

namespace velmora::py {

struct FunctionEntry {
  const Signature* signature;
  PyCFunctionWithKeywords function;
};

// Every function of the module, in registration order.
const std::vector<FunctionEntry>& module_functions();

}  // namespace velmora::py
