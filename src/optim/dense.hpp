// Small dense symmetric matrices: Cholesky factors, solves, eigenvalues, and the covariance of
// an information matrix that may be singular.
//
// Matrices are row-major vectors of n * n doubles.  Sizes are those of a fit's free parameters
// (a few to a few hundred), so plain O(n^3) loops are all that is needed; every loop runs in a
// fixed order, so results do not depend on anything but the input.  On a few hundred
// parameters a factorisation or an eigen-decomposition takes from milliseconds to seconds, so
// each looks at the call's stop request (stop.hpp) once per column, row or rotation sweep row.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace velmora::dense {

// The lower Cholesky factor L (A = L L^T) of the symmetric matrix a (only its lower triangle
// is read), written over a's lower triangle.  False when a pivot is not positive (the matrix
// is not positive definite to working precision, or holds a NaN).
bool cholesky(std::vector<double>& a, std::size_t n);

// Solves L L^T x = b in place, with L from cholesky.
void cholesky_solve(const std::vector<double>& l, std::size_t n, std::span<double> b);

// The inverse of A from its Cholesky factor L, as a full symmetric matrix.
std::vector<double> cholesky_inverse(const std::vector<double>& l, std::size_t n);

// Eigenvalues (ascending) and eigenvectors (columns of `vectors`, row-major n x n) of the
// symmetric matrix a, by cyclic Jacobi rotations (Golub & Van Loan, Matrix Computations,
// section 8.5), to working precision.
void symmetric_eigen(std::vector<double> a, std::size_t n, std::vector<double>& values,
                     std::vector<double>& vectors);

// Covariance from an information matrix over n parameters.
//
// Parameters flagged in `excluded` are left out beforehand (their rows and columns of the
// covariance are zero: they are held where they are).  Of the rest, a parameter without
// information (a zero diagonal) is left out at once, and while the remaining matrix, scaled to
// unit diagonal, is not positive definite, the parameter that weighs most in its weakest
// direction is left out too, `preferred` parameters first (those the others depend on least,
// such as shape parameters before areas) whenever they weigh in it at all (above 1e-3).  Every
// other parameter that weighs in such a direction above 1e-3 moves along it as freely (a
// matrix counts as singular too when it inflates a variance more than 1e12 times: regular
// only by rounding): the
// covariance of the rest is right for every combination the data fix, but such a parameter is
// not determined either.  The rows and columns of parameters left out for lack of information are NaN: they are not
// determined.  `undetermined[a]` is set for those.
std::vector<double> covariance(const std::vector<double>& information, std::size_t n,
                               const std::vector<bool>& excluded, const std::vector<bool>& preferred,
                               std::vector<bool>& undetermined);

// The standard deviation of the linear combination g^T theta under the covariance `cov`
// (n x n): NaN when g has weight on a parameter whose variance is NaN; negative rounding is
// taken as zero.
double propagate(const std::vector<double>& cov, std::size_t n, std::span<const double> g);

}  // namespace velmora::dense
