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
    a variance is NaN)."""
    jacobian = np.asarray(jacobian, dtype=np.float64)
    out = jacobian @ np.asarray(values, dtype=np.float64)
    cov = np.asarray(covariance, dtype=np.float64)
    stderr = []
    for row in jacobian:
        used = row != 0
        if not used.any():
            stderr.append(0.0)
            continue
        sub = cov[np.ix_(used, used)]
        if not np.isfinite(sub).all():
            stderr.append(math.nan)
            continue
        v = float(row[used] @ sub @ row[used])
        stderr.append(math.sqrt(v) if v > 0 else 0.0)
    return out, np.array(stderr)
