// The registry of peak shapes: the one list of entries, lookup by code (its position in the
// list), and the helpers every entry shares.
#include "shapes/registry.hpp"

#include <array>
#include <stdexcept>
#include <string>

#include "errors.hpp"
#include "shapes/doniach_sunjic.hpp"
#include "shapes/gaussian.hpp"
#include "shapes/lorentzian.hpp"
#include "shapes/pseudo_voigt.hpp"
#include "shapes/tsdc.hpp"
#include "shapes/voigt.hpp"

namespace velmora::shapes {

void no_extras(const double*, const ShapeContext&, double*) {}

void require_grid_length(std::size_t grid, std::size_t out, const char* shape_name) {
  if (grid != out) {
    throw InternalError(std::string("the ") + shape_name + " density needs an output of the " +
                        "grid's length " + std::to_string(grid) + ", not " +
                        std::to_string(out));
  }
}

std::span<const ShapeEntry* const> all_shapes() {
  // The one list of shapes, a line each; a shape's code is its position here.
  static const std::array entries{
      &gaussian::registry_entry(),
      &lorentzian::registry_entry(),
      &pseudo_voigt::registry_entry(),
      &voigt::registry_entry(),
      &doniach_sunjic::registry_entry(),
      &tsdc::registry_entry(),
  };
  return entries;
}

const ShapeEntry& shape(std::size_t code) {
  const std::span<const ShapeEntry* const> entries = all_shapes();
  if (code >= entries.size()) {
    throw std::invalid_argument("unknown peak shape code " + std::to_string(code) +
                                " (the codes run from 0 to " +
                                std::to_string(entries.size() - 1) + ")");
  }
  return *entries[code];
}

std::size_t location_index(const ShapeEntry& shape) {
  for (std::size_t j = 0; j < shape.params.size(); ++j) {
    if (shape.params[j].kind == Kind::location) return j;
  }
  throw std::invalid_argument(std::string("peak shape ") + shape.name +
                              " has no location parameter");
}

}  // namespace velmora::shapes
