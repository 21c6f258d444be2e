// run_voigt_em_loop and voigt_predict: the Voigt mixture fit and the Voigt density.
#include "em_common.hpp"
#include "functions.hpp"
#include "em/voigt_em.hpp"

namespace velmora::py {
namespace {

PyObject* run_voigt_em_loop(Arguments& a) {
  const EmSettings settings = em_settings(a, "x_min", "x_max");
  voigt::VoigtBounds bounds;
  bounds.x_min = settings.window_lo;
  bounds.x_max = settings.window_hi;
  bounds.sigma_min = a.real("sigma_min");
  bounds.sigma_max = a.real("sigma_max");
  bounds.gamma_min = a.real("gamma_min");
  bounds.gamma_max = a.real("gamma_max");
  voigt::VoigtShape shape(a.in_place("x0").values, a.in_place("sigma_v").values,
                          a.in_place("gamma_v").values, a.flag_list("fix_x0"),
                          a.flag_list("fix_sigma"), a.flag_list("fix_gamma"), bounds);
  return run_mixture(a, "x", shape, std::array{"x0", "sigma_v", "gamma_v"}, settings);
}

PyObject* voigt_predict(Arguments& a) {
  return to_array(voigt::voigt_predict(a.array("x"), a.real("x0"), a.real("sigma"),
                                       a.real("gamma"), a.real("x_min"), a.real("x_max")));
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<run_voigt_em_loop>("run_voigt_em_loop"),
    Definition::of<voigt_predict>("voigt_predict"),
};

}  // namespace
}  // namespace velmora::py
