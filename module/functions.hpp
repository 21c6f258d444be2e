// Registration of the module's functions.
//
// Each function's file registers it with a static registrar; the module adds the registered
// functions in one fixed order (the order of `__all__`), whatever the order of the files.
#pragma once

#include <vector>

#include "binding.hpp"
#include "py.hpp"

namespace velmora::py {

struct FunctionEntry {
  const Signature* signature;
  PyCFunctionWithKeywords function;
};

// Records a function for the module; used through FunctionRegistrar at namespace scope.
void register_function(const FunctionEntry& entry);

struct FunctionRegistrar {
  FunctionRegistrar(const Signature& signature, PyCFunctionWithKeywords function) {
    register_function({&signature, function});
  }
};

// The registered functions in the module's order.
std::vector<FunctionEntry> module_functions();

}  // namespace velmora::py
