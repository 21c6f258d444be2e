"""The profile functions give the component densities exactly as the mixture fits form them."""
import numpy as np
import pytest

import reference as ref
import velmora_core

X = np.linspace(-3.0, 27.0, 20000)  # longer than every shape's block of points
INTENSITY = np.random.default_rng(8).poisson(40.0, X.size).astype(float)
PI = np.array([0.3, 0.7])

# name: (predict, per-component predict arguments, EM call with max_iter 0)
CASES = {
    "gaussian": (velmora_core.gaussian_predict, [(8.0, 1.5), (15.0, 0.7)],
                 lambda pi: velmora_core.run_em_loop(
                     X, INTENSITY, np.array([8.0, 15.0]), np.array([1.5, 0.7]), pi,
                     np.ones(2), [False] * 2, [False] * 2, 0, 0.0, 0.0, 20.0)),
    "lorentzian": (velmora_core.lorentzian_predict, [(8.0, 1.5, 0.0, 20.0), (15.0, 0.7, 0.0, 20.0)],
                   lambda pi: velmora_core.run_lorentzian_em_loop(
                       X, INTENSITY, np.array([8.0, 15.0]), np.array([1.5, 0.7]), pi,
                       np.ones(2), [False] * 2, [False] * 2, 0.0, 20.0, 0, 0.0)),
    "voigt": (velmora_core.voigt_predict,
              [(8.0, 0.5, 1.5, 0.0, 20.0), (15.0, 0.3, 0.7, 0.0, 20.0)],
              lambda pi: velmora_core.run_voigt_em_loop(
                  X, INTENSITY, np.array([8.0, 15.0]), np.array([0.5, 0.3]),
                  np.array([1.5, 0.7]), pi, np.ones(2), [False] * 2, [False] * 2, [False] * 2,
                  0.0, 20.0, 0.01, 10.0, 0.01, 10.0, 0, 0.0)),
    "doniach_sunjic": (velmora_core.doniach_sunjic_predict, [(8.0, 1.5, 0.1), (15.0, 0.7, 0.3)],
                       lambda pi: velmora_core.run_ds_em_loop(
                           X, INTENSITY, np.array([8.0, 15.0]), np.array([1.5, 0.7]),
                           np.array([0.1, 0.3]), pi, np.ones(2), [False] * 2, [False] * 2,
                           [False] * 2, 0.0, 20.0, 0.1, 10.0, 0.0, 0.9, 0, 0.0)),
}


@pytest.mark.parametrize("shape", CASES)
def test_mixture_likelihood_from_the_profiles_is_the_fits_own(shape):
    predict, components, em = CASES[shape]
    columns = [predict(X, *args).tolist() for args in components]
    ll, _, _ = ref.e_step(INTENSITY.tolist(), columns, PI.tolist())
    assert em(PI.copy())[1][0] == ll


def test_reference_densities_agree_bit_for_bit():
    assert velmora_core.gaussian_predict(X, 8.0, -1.5).tolist() == ref.gaussian_density(X, 8.0,
                                                                                         -1.5)
