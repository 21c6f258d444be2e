// A C interface to internal routines of the numerical core that the Python module does not
// expose, so that the Python tests can compare them with SciPy over dense sweeps (ctypes).
// Built only with the C++ unit tests; never shipped.
#include <cstdint>

#include "special/expint.hpp"

extern "C" {
__attribute__((visibility("default"))) double velmora_test_ei(double x) {
  return velmora::special::exponential_integral_ei(x);
}
__attribute__((visibility("default"))) double velmora_test_en(std::int32_t n, double x) {
  return velmora::special::exponential_integral_en(n, x);
}
}
