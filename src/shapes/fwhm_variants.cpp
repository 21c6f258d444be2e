// The fwhm variants of the shapes (fwhm_variants.hpp).
#include "shapes/fwhm_variants.hpp"

#include <array>
#include <string>
#include <utility>

#include "errors.hpp"

namespace velmora::shapes {
namespace {

// How many shapes the variants can be made for (the entries before the variants in
// all_shapes()): one set of functions each, made by the template below, so room is left for
// shapes to come; a shape beyond it gets no variant and the registry refuses to start.
constexpr std::size_t kMaxVariants = 32;

// The variant of shape code C: each function converts the FWHM to the primary width and calls
// the shape's own.
template <std::size_t C>
struct Variant {
  static inline const ShapeEntry* base = nullptr;

  static std::array<double, kMaxShapeParams> convert(const double* p, const ShapeContext& ctx) {
    std::array<double, kMaxShapeParams> q{};
    for (std::size_t a = 0; a < base->params.size(); ++a) q[a] = p[a];
    q[base->primary] = base->primary_from_fwhm(p[base->primary], q.data(), ctx);
    return q;
  }
  static void density(std::span<const double> x, const double* p, const ShapeContext& ctx,
                      std::span<double> out) {
    const std::array<double, kMaxShapeParams> q = convert(p, ctx);
    base->density(x, q.data(), ctx, out);
  }
  static void profile(std::span<const double> x, const double* p, const ShapeContext& ctx,
                      std::span<double> out) {
    const std::array<double, kMaxShapeParams> q = convert(p, ctx);
    base->profile(x, q.data(), ctx, out);
  }
  static void summit(const double* p, const ShapeContext& ctx, double* out) {
    const std::array<double, kMaxShapeParams> q = convert(p, ctx);
    base->summit(q.data(), ctx, out);
  }
  static void start(double position, double fwhm, double* p) {
    base->start(position, fwhm, p);
    p[base->primary] = fwhm;
  }
  static void extras(const double* p, const ShapeContext& ctx, double* out) {
    const std::array<double, kMaxShapeParams> q = convert(p, ctx);
    if (base->extras != nullptr) base->extras(q.data(), ctx, out);
    out[base->extra_quantities.size()] = q[base->primary];
  }

  static ShapeEntry make(const ShapeEntry& shape) {
    base = &shape;
    ShapeEntry v = shape;
    v.params = {};
    for (std::size_t a = 0; a < shape.params.size(); ++a) {
      v.params.push_back(a == shape.primary ? fwhm_param() : shape.params[a]);
    }
    const ParamInfo& primary = shape.params[shape.primary];
    v.extra_quantities.push_back(
        {.name = primary.name, .kind = primary.kind, .description = primary.description});
    v.density = density;
    v.profile = profile;
    v.summit = shape.summit != nullptr ? summit : nullptr;
    v.start = start;
    v.extras = extras;
    v.extras_derivatives = nullptr;  // the base's are in the base's parameters
    v.derivatives = nullptr;
    v.primary = kNoPrimary;
    v.primary_from_fwhm = nullptr;
    v.fwhm_of = C;
    return v;
  }
};

template <std::size_t... C>
const ShapeEntry& pick(const ShapeEntry& base, std::size_t code, std::index_sequence<C...>) {
  static std::array<ShapeEntry, sizeof...(C)> entries{};
  static std::array<bool, sizeof...(C)> made{};
  const ShapeEntry* found = nullptr;
  ((code == C ? (made[C] ? void() : (entries[C] = Variant<C>::make(base), made[C] = true, void()),
                 found = &entries[C], void())
              : void()),
   ...);
  if (found == nullptr) {
    throw InternalError("no fwhm variant for shape code " + std::to_string(code));
  }
  return *found;
}

}  // namespace

ParamInfo fwhm_param() { return framed_width("fwhm", 1.0, "full width at half maximum"); }

const ShapeEntry& fwhm_variant_entry(const ShapeEntry& base, std::size_t base_code) {
  if (base.primary == kNoPrimary || base.primary_from_fwhm == nullptr) {
    throw InternalError(std::string("the ") + base.name + " shape has no primary width");
  }
  return pick(base, base_code, std::make_index_sequence<kMaxVariants>());
}

}  // namespace velmora::shapes
