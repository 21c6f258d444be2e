// The fwhm variants of the shapes: for every shape with a primary width (registry.hpp), a
// second registry entry whose parameter in the primary width's place is the peak's full width
// at half maximum.  A peak whose FWHM is held fixed or bounded is fitted as its shape's
// variant: the engine sees one more shape, and the width it stands for follows from the FWHM
// and the peak's other parameters through the shape's inverse (primary_from_fwhm) in every
// density, so that the FWHM the report reads off the density is the parameter's value to
// rounding.
//
// A variant's density, profile and extras are the shape's at the converted parameters; its
// start the shape's with the FWHM in the primary's place; its extras the shape's followed by
// the primary width itself (reported under its own name, with its standard error); its
// derivatives central differences of that density (the engine's steps of the registry, a
// relative 1e-4 of the FWHM).
#pragma once

#include <cstddef>

#include "shapes/registry.hpp"

namespace velmora::shapes {

// The variant of the shape `base` of code `base_code` (which must have a primary width).  Made
// once, by all_shapes().
const ShapeEntry& fwhm_variant_entry(const ShapeEntry& base, std::size_t base_code);

// The parameter standing for the primary width in every variant: a width (on a thermogram's
// temperature axis too), by default between half a grid step and the window's width.
ParamInfo fwhm_param();

}  // namespace velmora::shapes
