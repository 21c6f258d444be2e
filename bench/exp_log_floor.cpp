// The unavoidable part of one EM iteration: K*N scalar exp calls for the Gaussian densities and
// N scalar log calls for the log-likelihood, timed on one thread.
//
// Results must agree with the sequential evaluation to the last bit, so every one of these
// calls goes to the C library's exp and log; nothing here may be vectorised or approximated.
// Build without -ffast-math (bench_em.py uses g++ -O2 -ffp-contract=off).
//
// usage: exp_log_floor X_FILE PARAM_FILE
//   X_FILE      N float64 grid values (raw, native byte order)
//   PARAM_FILE  3K float64 values: mu[0..K), sigma[0..K), pi[0..K)
// Prints "ready" once warmed up; then, for every line "P" read from standard input, times P
// passes and prints "<median exp seconds> <median log seconds> <checksum>" per pass.  Driven
// this way the caller can interleave floor samples with its other timings.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

std::vector<double> read_doubles(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    std::perror(path);
    std::exit(2);
  }
  std::vector<double> values;
  double buf[4096];
  std::size_t got = 0;
  while ((got = std::fread(buf, sizeof(double), 4096, f)) > 0) {
    values.insert(values.end(), buf, buf + got);
  }
  std::fclose(f);
  return values;
}

// Hides a pointer's target from the optimiser, so no repetition can reuse an earlier one.
template <class T>
T* opaque(T* p) {
  asm volatile("" : "+r"(p) : : "memory");
  return p;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kTwoPi = 6.283185307179586;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s X_FILE PARAM_FILE\n", argv[0]);
    return 2;
  }
  const std::vector<double> x = read_doubles(argv[1]);
  const std::vector<double> params = read_doubles(argv[2]);
  if (params.size() % 3 != 0) {
    std::fprintf(stderr, "parameter file must hold 3K values\n");
    return 2;
  }
  const std::size_t n = x.size();
  const std::size_t k_count = params.size() / 3;
  const double* mu = params.data();
  const double* sigma = mu + k_count;
  const double* pi = sigma + k_count;

  std::vector<double> c(k_count);
  for (std::size_t k = 0; k < k_count; ++k) c[k] = 1.0 / (sigma[k] * kSqrt2);

  // The log arguments of a real E-step: the mixture density plus the likelihood floor
  // (prepared outside the timed region).
  std::vector<double> log_arg(n, 0.0);
  for (std::size_t k = 0; k < k_count; ++k) {
    const double q = std::sqrt(sigma[k] * (sigma[k] * kTwoPi));
    for (std::size_t i = 0; i < n; ++i) {
      const double z = (x[i] - mu[k]) * c[k];
      log_arg[i] = log_arg[i] + pi[k] * (std::exp(-z * z) / q);
    }
  }
  for (double& v : log_arg) v = v + 1e-200;

  using clock = std::chrono::steady_clock;
  volatile double sink = 0.0;
  // One pass: returns the seconds of the exp calls and of the log calls.
  auto pass = [&] {
    const double* xs = opaque(x.data());
    const auto t0 = clock::now();
    double s = 0.0;
    for (std::size_t k = 0; k < k_count; ++k) {
      const double m = mu[k];
      const double ck = c[k];
      for (std::size_t i = 0; i < n; ++i) {
        const double z = (xs[i] - m) * ck;
        s += std::exp(-z * z);
      }
    }
    const auto t1 = clock::now();
    const double* la = opaque(log_arg.data());
    double t = 0.0;
    for (std::size_t i = 0; i < n; ++i) t += std::log(la[i]);
    const auto t2 = clock::now();
    sink = sink + s + t;
    return std::pair{std::chrono::duration<double>(t1 - t0).count(),
                     std::chrono::duration<double>(t2 - t1).count()};
  };

  // Untimed passes first, for at least 0.2 s: a core that was idle runs the first
  // milliseconds at a lower clock.
  const auto warm_until = clock::now() + std::chrono::milliseconds(200);
  while (clock::now() < warm_until) pass();
  std::printf("ready\n");
  std::fflush(stdout);

  int passes = 0;
  while (std::scanf("%d", &passes) == 1 && passes > 0) {
    std::vector<double> exp_times, log_times;
    for (int r = 0; r < passes; ++r) {
      const auto [e, l] = pass();
      exp_times.push_back(e);
      log_times.push_back(l);
    }
    std::printf("%.9e %.9e %.17g\n", median(exp_times), median(log_times),
                static_cast<double>(sink));
    std::fflush(stdout);
  }
  return 0;
}
