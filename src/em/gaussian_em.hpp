// The Gaussian mixture fit's component update: the weighted mean and standard deviation of the
// grid under a component's weights, in closed form (the density is shapes/gaussian.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "em/em_engine.hpp"
#include "shapes/gaussian.hpp"

namespace velmora::gaussian {

inline constexpr double kSigmaFloor = 1e-5;            // smallest fitted width
inline constexpr double kEmptyWeight = 1e-300;         // below this total weight: no update
inline constexpr double kWeightOffset = 1e-100;        // added to the total weight

// Weighted mean and population standard deviation of x under weights w, with 1e-100 added
// to the total weight and the width floored at 1e-5; fixed parameters keep their values.
std::array<double, 2> weighted_update(std::span<const double> w, std::span<const double> x,
                                      double mu, double sigma, bool fix_mu, bool fix_sigma);

class GaussianShape final : public PeakShape {
 public:
  GaussianShape(std::vector<double> mu, std::vector<double> sigma, Flags fix_mu,
                Flags fix_sigma)
      : mu_(std::move(mu)),
        sigma_(std::move(sigma)),
        fix_mu_(std::move(fix_mu)),
        fix_sigma_(std::move(fix_sigma)) {}

  std::size_t num_components() const override { return mu_.size(); }
  void fill_densities(std::span<const double> x, ColumnMatrix& density) const override;
  ComponentParams update_component(std::size_t k, std::span<const double> w,
                                   std::span<const double> x) const override;
  void update_components(std::size_t first, std::size_t last,
                         const std::vector<std::vector<double>>& weights,
                         std::span<const double> x,
                         std::span<ComponentParams> results) const override;
  bool shares_update_passes() const override { return true; }
  void set_component(std::size_t k, const ComponentParams& params) override;

  const std::vector<double>& mu() const { return mu_; }
  const std::vector<double>& sigma() const { return sigma_; }
  // Parameter j of every component: 0 mu, 1 sigma.
  const std::vector<double>& parameter(std::size_t j) const { return j == 0 ? mu_ : sigma_; }

 private:
  std::vector<double> mu_;
  std::vector<double> sigma_;
  Flags fix_mu_;
  Flags fix_sigma_;
};

}  // namespace velmora::gaussian
