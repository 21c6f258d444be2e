#include <cstring>
#include <string>

#include "functions.hpp"

namespace velmora::py {
namespace {

// The order in which the functions are added to the module and to `__all__`.
constexpr const char* kOrder[] = {
    "run_em_loop",
    "run_pv_em_loop",
    "run_voigt_em_loop",
    "run_lorentzian_em_loop",
    "run_ds_em_loop",
    "run_tsdc_em_loop",
    "pseudo_voigt_predict",
    "pseudo_voigt_mle_conditional_max",
    "pseudo_voigt_mle_full_optimization",
    "lorentzian_mle",
    "doniach_sunjic_mle",
    "tsdc_predict",
    "tsdc_mle_find_root",
    "tsdc_mle_lbfgsb",
    "gaussian_predict",
    "lorentzian_predict",
    "voigt_predict",
    "doniach_sunjic_predict",
    "_status_line",
};

std::vector<FunctionEntry>& registered() {
  static std::vector<FunctionEntry> entries;
  return entries;
}

}  // namespace

void register_function(const FunctionEntry& entry) { registered().push_back(entry); }

std::vector<FunctionEntry> module_functions() {
  std::vector<FunctionEntry> ordered;
  for (const char* name : kOrder) {
    for (const FunctionEntry& entry : registered()) {
      if (std::strcmp(entry.signature->function(), name) == 0) ordered.push_back(entry);
    }
  }
  return ordered;
}

}  // namespace velmora::py
