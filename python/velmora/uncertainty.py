"""Standard errors from the observed information of the Poisson likelihood.

The counts c_i of the channels are independent Poisson counts with expected values mu_i, the
sum of the peaks' counts (area times density times channel width) and the background's; the
log-likelihood is l = sum_i c_i log mu_i - mu_i - log c_i!.  The observed information is
-d2l over the free parameters theta (every free shape parameter, area and background count);
the engine works it out at the fitted point, the derivatives of the densities being central
differences of the shapes' own densities.  Its inverse is the covariance of theta:

- a parameter that ends on a bound (reported "at bound") counts in the others' errors when the
  data determine it there (its standard error, with it in the information, is below its own
  scale: a pseudo-Voigt eta pushed onto 1 by noise still leaves the area uncertain); otherwise
  it is held there, so that a flat direction (a Voigt sigma on its narrow bound) does not spoil
  the others' errors;
- a parameter the data do not determine (a peak left without signal) is left out, and so is
  whatever depends on it ("not determined");
- a tied parameter's standard error follows from those of the parameters it is tied to,
  through the tie's derivatives; a derived quantity's (height, FWHM, TSDC tau0) through
  central differences of the quantity.

With one peak and no background the area's standard error is sqrt(N), N the total count, as
for any Poisson total.
"""
import math

import numpy as np


def in_user_units(covariance, scales):
    """The covariance of theta in the caller's units (``scales``: d(user)/d(theta))."""
    s = np.asarray(scales, dtype=np.float64)
    return np.asarray(covariance, dtype=np.float64) * np.outer(s, s)


def linear_estimates(values, covariance, jacobian):
    """Values ``jacobian @ values`` and their standard errors under ``covariance`` (NaN where
    a variance involves a NaN or infinite covariance).

    ``values`` (..., k) and ``covariance`` (..., k, k) may hold many spectra along their
    leading axes.  The sums run in a fixed order, term by term, so a spectrum's numbers do not
    depend on how many are computed together."""
    jacobian = np.asarray(jacobian, dtype=np.float64)
    values = np.asarray(values, dtype=np.float64)
    cov = np.asarray(covariance, dtype=np.float64)
    lead = values.shape[:-1]
    out = np.zeros(lead + (jacobian.shape[0],))
    stderr = np.zeros(lead + (jacobian.shape[0],))
    for r, row in enumerate(jacobian):
        used = np.flatnonzero(row)
        for c in used:
            out[..., r] += row[c] * values[..., c]
        if used.size == 0:
            continue
        finite = np.ones(lead, dtype=bool)
        v = np.zeros(lead)
        for j in used:
            t = np.zeros(lead)
            for i in used:
                t += row[i] * cov[..., i, j]
                finite &= np.isfinite(cov[..., i, j])
            v += t * row[j]
        with np.errstate(invalid="ignore"):
            se = np.where(v > 0, np.sqrt(np.where(v > 0, v, 0.0)), 0.0)
        stderr[..., r] = np.where(finite, se, math.nan)
    return out, stderr
