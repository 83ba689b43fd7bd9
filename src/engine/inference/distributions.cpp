#include "engine/inference/distributions.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace velkan::inference {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Stand-in for zero in the modified Lentz recurrences (a denominator that cancels exactly).
constexpr double kLentzTiny = 1e-300;
// Depth limit of the adaptive Simpson recursion (2^kSimpsonDepth panels at most).
constexpr int kSimpsonDepth = 40;
// Equal panels the integral is split into before adaptive refinement.
constexpr int kSimpsonPanels = 16;

// x^a e^-x / Gamma(a), in logs so that it neither overflows nor underflows early.
double gamma_prefactor(double a, double x) {
  return std::exp(a * std::log(x) - x - std::lgamma(a));
}

// P(a, x) by its power series; converges fast for x < a + 1.
double gamma_lower_series(double a, double x) {
  double term = 1.0 / a;
  double sum = term;
  for (int n = 1; n < kTailMaxTerms; ++n) {
    term *= x / (a + n);
    sum += term;
    if (std::abs(term) < std::abs(sum) * kTailTolerance) break;
  }
  return sum * gamma_prefactor(a, x);
}

// Q(a, x) by its continued fraction (modified Lentz); converges fast for x >= a + 1.
double gamma_upper_fraction(double a, double x) {
  double b = x + 1.0 - a;
  double c = 1.0 / kLentzTiny;
  double d = 1.0 / b;
  double h = d;
  for (int i = 1; i < kTailMaxTerms; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::abs(d) < kLentzTiny) d = kLentzTiny;
    c = b + an / c;
    if (std::abs(c) < kLentzTiny) c = kLentzTiny;
    d = 1.0 / d;
    const double step = d * c;
    h *= step;
    if (std::abs(step - 1.0) < kTailTolerance) break;
  }
  return h * gamma_prefactor(a, x);
}

// The continued fraction of I_x(a, b) (modified Lentz); converges fast for
// x < (a + 1) / (a + b + 2).
double beta_fraction(double a, double b, double x) {
  const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
  double c = 1.0;
  double d = 1.0 - qab * x / qap;
  if (std::abs(d) < kLentzTiny) d = kLentzTiny;
  d = 1.0 / d;
  double h = d;
  for (int m = 1; m < kTailMaxTerms; ++m) {
    const double m2 = 2.0 * m;
    double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
    d = 1.0 + aa * d;
    if (std::abs(d) < kLentzTiny) d = kLentzTiny;
    c = 1.0 + aa / c;
    if (std::abs(c) < kLentzTiny) c = kLentzTiny;
    d = 1.0 / d;
    h *= d * c;
    aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
    d = 1.0 + aa * d;
    if (std::abs(d) < kLentzTiny) d = kLentzTiny;
    c = 1.0 + aa / c;
    if (std::abs(c) < kLentzTiny) c = kLentzTiny;
    d = 1.0 / d;
    const double step = d * c;
    h *= step;
    if (std::abs(step - 1.0) < kTailTolerance) break;
  }
  return h;
}

// x^a (1 - x)^b / (a B(a, b)).
double beta_prefactor(double a, double b, double x) {
  return std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) +
                  b * std::log1p(-x)) /
         a;
}

template <class F>
double simpson(const F& f, double a, double b, double fa, double fm, double fb, double whole,
               double tol, int depth) {
  const double m = 0.5 * (a + b);
  const double lm = 0.5 * (a + m), rm = 0.5 * (m + b);
  const double flm = f(lm), frm = f(rm);
  const double left = (m - a) / 6.0 * (fa + 4.0 * flm + fm);
  const double right = (b - m) / 6.0 * (fm + 4.0 * frm + fb);
  const double diff = left + right - whole;
  if (depth <= 0 || std::abs(diff) <= 15.0 * tol) return left + right + diff / 15.0;
  return simpson(f, a, m, fa, flm, fm, left, 0.5 * tol, depth - 1) +
         simpson(f, m, b, fm, frm, fb, right, 0.5 * tol, depth - 1);
}

}  // namespace

double normal_upper(double z) { return 0.5 * std::erfc(z / std::numbers::sqrt2); }

double normal_quantile(double p) {
  if (!(p >= 0.0 && p <= 1.0)) return kNaN;
  if (p == 0.0) return -kInf;
  if (p == 1.0) return kInf;
  // Solve P(Z > x) = q for x >= 0 in the smaller tail, then reflect. A rational start
  // good to about 5e-4, then Halley steps on the upper tail, which is computed to full
  // relative accuracy: each step roughly triples the correct digits.
  const double q = p < 0.5 ? p : 1.0 - p;
  const double t = std::sqrt(-2.0 * std::log(q));
  double x = t - (2.515517 + 0.802853 * t + 0.010328 * t * t) /
                     (1.0 + 1.432788 * t + 0.189269 * t * t + 0.001308 * t * t * t);
  for (int i = 0; i < 4; ++i) {
    const double density = std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi);
    if (!(density > 0.0)) break;
    const double u = (normal_upper(x) - q) / density;
    x += u / (1.0 - 0.5 * x * u);
  }
  return p < 0.5 ? -x : x;
}

double gamma_upper_regularised(double a, double x) {
  if (!(a > 0.0) || !(x >= 0.0)) return kNaN;
  if (x == 0.0) return 1.0;
  if (std::isinf(x)) return 0.0;
  if (x < a + 1.0) return 1.0 - gamma_lower_series(a, x);
  return gamma_upper_fraction(a, x);
}

double beta_regularised(double a, double b, double x) {
  if (!(a > 0.0) || !(b > 0.0) || !(x >= 0.0 && x <= 1.0)) return kNaN;
  if (x == 0.0) return 0.0;
  if (x == 1.0) return 1.0;
  // The fraction converges fast below the mean-like point (a + 1) / (a + b + 2); above it
  // the symmetry I_x(a, b) = 1 - I_{1-x}(b, a) is used.
  if (x < (a + 1.0) / (a + b + 2.0)) return beta_prefactor(a, b, x) * beta_fraction(a, b, x);
  return 1.0 - beta_prefactor(b, a, 1.0 - x) * beta_fraction(b, a, 1.0 - x);
}

double chi_square_upper(double x, double df) {
  if (std::isnan(x) || !(df > 0.0)) return kNaN;
  if (x <= 0.0) return 1.0;
  return gamma_upper_regularised(0.5 * df, 0.5 * x);
}

double f_upper(double x, double df1, double df2) {
  if (std::isnan(x) || !(df1 > 0.0) || !(df2 > 0.0)) return kNaN;
  if (x <= 0.0) return 1.0;
  if (std::isinf(df2)) return chi_square_upper(x * df1, df1);
  // P(F > x) = I_y(df2 / 2, df1 / 2) with y = df2 / (df2 + df1 x): the upper tail itself,
  // small where y is small.
  return beta_regularised(0.5 * df2, 0.5 * df1, df2 / (df2 + df1 * x));
}

double student_t_two_sided(double t, double df) {
  if (std::isnan(t) || !(df > 0.0)) return kNaN;
  if (std::isinf(df)) return 2.0 * normal_upper(std::abs(t));
  if (std::isinf(t)) return 0.0;
  return beta_regularised(0.5 * df, 0.5, df / (df + t * t));
}

double chi_square_mixture_upper(double x, std::size_t k, double nu) {
  if (std::isnan(x) || !(nu >= 0.0 && nu <= 1.0)) return kNaN;
  if (x <= 0.0) return 1.0;
  const auto dk = static_cast<double>(k);
  if (nu == 0.0) return k == 0 ? 0.0 : chi_square_upper(x, dk);
  if (k == 0) return chi_square_upper(x / nu, 1.0);
  // Condition on Z, the standard normal behind C_1 = Z^2: X > x holds outright when
  // nu Z^2 >= x, and otherwise with probability Q_k(x - nu Z^2). With c = sqrt(x / nu),
  //   P = P(Z^2 >= c^2) + 2 int_0^c phi(z) Q_k(x - nu z^2) dz,
  // and z = c sin(theta) turns the integral into
  //   2 c int_0^{pi/2} phi(c sin theta) Q_k(x cos^2 theta) cos theta dtheta,
  // whose integrand is smooth up to the end point (in z it has a square-root cusp there).
  const double c = std::sqrt(x / nu);
  const double norm = 2.0 * c / std::sqrt(2.0 * std::numbers::pi);
  auto integrand = [&](double theta) {
    const double s = std::sin(theta), co = std::cos(theta);
    return norm * std::exp(-0.5 * c * c * s * s) * chi_square_upper(x * co * co, dk) * co;
  };
  // Fixed panels first, so that no feature of the integrand hides between the first
  // few points of the adaptive rule.
  double inner = 0.0;
  const double width = 0.5 * std::numbers::pi / kSimpsonPanels;
  for (int i = 0; i < kSimpsonPanels; ++i) {
    const double a = i * width, b = a + width;
    const double fa = integrand(a), fm = integrand(a + 0.5 * width), fb = integrand(b);
    const double whole = width / 6.0 * (fa + 4.0 * fm + fb);
    inner += simpson(integrand, a, b, fa, fm, fb, whole, kMixtureTolerance / kSimpsonPanels,
                     kSimpsonDepth);
  }
  const double p = chi_square_upper(x / nu, 1.0) + inner;
  return std::min(1.0, std::max(0.0, p));
}

}  // namespace velkan::inference
