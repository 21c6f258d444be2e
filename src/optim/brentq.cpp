// Printed names of the root-finder failures; the search itself is the template in brentq.hpp.
#include "optim/brentq.hpp"

namespace velmora {

std::string_view root_error_name(RootError error) {
  switch (error) {
    case RootError::kNoConvergency:
      return "NoConvergency";
    case RootError::kNoBracketing:
      return "NoBracketing";
    case RootError::kZeroDerivative:
      return "ZeroDerivative";
  }
  return "UnknownRootError";
}

}  // namespace velmora
