#include "background.hpp"

#include <string>

#include "errors.hpp"

namespace velmora {

std::size_t background_columns(std::uint8_t bg_type, const BasisList& basis) {
  switch (bg_type) {
    case 0:
      return 0;
    case 4:
      return basis.size();
    default:
      return 1;
  }
}

void fill_background(ColumnMatrix& /*density*/, std::size_t /*k*/, std::uint8_t bg_type,
                     std::span<const double> /*x*/, double /*lo*/, double /*hi*/,
                     double /*s_tri*/, const BasisList& basis) {
  if (background_columns(bg_type, basis) == 0) return;
  throw InternalError("background code " + std::to_string(bg_type) +
                      " is not available in this build; use bg_type 0");
}

double update_triangle_slope(std::span<const double> /*x*/, std::span<const double> /*v*/,
                             double /*lo*/, double /*hi*/) {
  throw InternalError("the triangular background is not available in this build");
}

}  // namespace velmora
