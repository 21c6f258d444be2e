// The height and full width at half maximum of one peak, read off its shape's own density and
// profile (registry.hpp), whatever the shape: the package's engine reports them, with standard
// errors, for every peak.
#pragma once

#include <span>

#include "shapes/registry.hpp"

namespace velmora::shapes {

// The largest value of a peak's density and its full width at half maximum, read off the
// density: the maximum is bracketed on the grid and refined by golden-section search on the
// profile, then each half-maximum crossing is bracketed by steps that double outward from the
// maximum and refined by bisection.  The profile is scaled to the density by their ratio at
// the grid point nearest the maximum, so `top` is in the density's own normalisation.  NaN
// where a quantity cannot be determined (no finite maximum, or a side whose half maximum is
// not reached before the profile stops being finite).
//
// In detail: the bracket of the maximum is the grid neighbours of the point of largest |density|;
// at an end of the grid it is pushed outward by doubling steps while the profile rises, so a
// peak centred beyond the grid is measured at its own maximum.  The crossing searches start half
// the local grid spacing from the maximum and stop after 60 doublings, at a non-finite abscissa
// or, for TSDC temperatures, a non-positive one.  A density without a finite non-zero value gives
// NaN for both; `top` carries the density's sign.  About two hundred profile evaluations at
// single points on the calling thread, whatever the grid's length; deterministic.  A shape
// that knows its maximum and width in closed form (ShapeEntry::summit) gives them directly,
// the density's value at the maximum formed in the same way, in two profile evaluations.
struct PeakQuantities {
  double top = 0.0;
  double fwhm = 0.0;
};
PeakQuantities peak_quantities(const ShapeEntry& shape, const double* p, const ShapeContext& ctx,
                               std::span<const double> grid, std::span<const double> density);

}  // namespace velmora::shapes
