// The registry of peak shapes: the one list of entries, lookup by code (its position in the
// list), and the helpers every entry shares.
#include "shapes/registry.hpp"

#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "errors.hpp"
#include "shapes/doniach_sunjic.hpp"
#include "shapes/doniach_sunjic_gaussian.hpp"
#include "shapes/fwhm_variants.hpp"
#include "shapes/gaussian.hpp"
#include "shapes/lorentzian.hpp"
#include "shapes/pseudo_voigt.hpp"
#include "shapes/tsdc.hpp"
#include "shapes/voigt.hpp"

namespace velmora::shapes {

double floored_mass(double mass) { return mass > kMassFloor ? mass : kMassFloor; }

double normal_window_mass(double mu, double sigma, double x_min, double x_max) {
  constexpr double kInvSqrt2 = 0.7071067811865476;
  const double a = (x_min - mu) / sigma * kInvSqrt2;
  const double b = (x_max - mu) / sigma * kInvSqrt2;
  // Phi(b) - Phi(a) from the upper tails when the window lies above the centre, from the lower
  // ones otherwise, so that a far tail keeps its digits.
  if (a > 0.0) return 0.5 * (std::erfc(a) - std::erfc(b));
  if (b < 0.0) return 0.5 * (std::erfc(-b) - std::erfc(-a));
  return 1.0 - 0.5 * (std::erfc(-a) + std::erfc(b));
}

void require_grid_length(std::size_t grid, std::size_t out, const char* shape_name) {
  if (grid != out) {
    throw InternalError(std::string("the ") + shape_name + " density needs an output of the " +
                        "grid's length " + std::to_string(grid) + ", not " +
                        std::to_string(out));
  }
}

namespace {

// The one list of shapes, a line each; a shape's code is its position here.
std::span<const ShapeEntry* const> base_shapes() {
  static const ShapeEntry* const shapes[] = {
      &gaussian::registry_entry(),
      &lorentzian::registry_entry(),
      &pseudo_voigt::registry_entry(),
      &voigt::registry_entry(),
      &doniach_sunjic::registry_entry(),
      &tsdc::registry_entry(),
      &doniach_sunjic_gaussian::registry_entry(),
  };
  return shapes;
}

// The shapes, then the fwhm variant of each that has a primary width, in the same order.
struct Table {
  std::vector<const ShapeEntry*> entries;
  std::vector<std::size_t> variant;
  Table() {
    const std::span<const ShapeEntry* const> shapes = base_shapes();
    entries.assign(shapes.begin(), shapes.end());
    variant.assign(shapes.size(), kNoPrimary);
    for (std::size_t c = 0; c < shapes.size(); ++c) {
      if (shapes[c]->primary == kNoPrimary) continue;
      variant[c] = entries.size();
      entries.push_back(&fwhm_variant_entry(*shapes[c], c));
    }
  }
};

const Table& table() {
  static const Table t;
  return t;
}

}  // namespace

std::span<const ShapeEntry* const> all_shapes() { return table().entries; }

std::size_t fwhm_variant_code(std::size_t code) {
  return code < table().variant.size() ? table().variant[code] : kNoPrimary;
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
