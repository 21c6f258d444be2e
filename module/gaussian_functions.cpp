// run_em_loop and gaussian_predict: the Gaussian mixture fit and the Gaussian density.
#include "em_common.hpp"
#include "functions.hpp"
#include "em/gaussian_em.hpp"

namespace velmora::py {
namespace {

PyObject* run_em_loop(Arguments& a) {
  const EmSettings settings = em_settings(a, "x_min", "x_max");
  gaussian::GaussianShape shape(a.in_place("mu").values, a.in_place("sigma").values,
                                a.flag_list("fix_mu"), a.flag_list("fix_sigma"));
  return run_mixture(a, "x", shape, std::array{"mu", "sigma"}, settings);
}

PyObject* gaussian_predict(Arguments& a) {
  return to_array(gaussian::gaussian_predict(a.array("x"), a.real("mu"), a.real("sigma")));
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<run_em_loop>("run_em_loop"),
    Definition::of<gaussian_predict>("gaussian_predict"),
};

}  // namespace
}  // namespace velmora::py
