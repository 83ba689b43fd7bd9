// Truncated Taylor series in one variable ("jets"): the value and the first N derivatives
// of a function at a point, carried through arithmetic. The families use them to derive
// the observed information of any link and variance function, and its derivatives in the
// linear predictor, from the link's and the variance's own derivatives, exactly (no
// finite differences). Coefficients are Taylor coefficients: c[k] = f^(k) / k!.
#pragma once

#include <array>
#include <cstddef>

namespace velkan::families {

template <std::size_t N>
struct Jet {
  std::array<double, N + 1> c{};

  static Jet constant(double v) {
    Jet j;
    j.c[0] = v;
    return j;
  }
  // The jet of a function from its value and derivatives d[0..N-1] (first to N-th).
  static Jet from_derivatives(double value, const double* d) {
    Jet j;
    j.c[0] = value;
    double factorial = 1.0;
    for (std::size_t k = 1; k <= N; ++k) {
      factorial *= static_cast<double>(k);
      j.c[k] = d[k - 1] / factorial;
    }
    return j;
  }
  // The k-th derivative of the function at the point.
  double derivative(std::size_t k) const {
    double factorial = 1.0;
    for (std::size_t i = 2; i <= k; ++i) factorial *= static_cast<double>(i);
    return c[k] * factorial;
  }
  // The jet of f' (one order less accurate: its last coefficient is lost).
  Jet<N - 1> differentiated() const {
    Jet<N - 1> j;
    for (std::size_t k = 0; k < N; ++k) j.c[k] = static_cast<double>(k + 1) * c[k + 1];
    return j;
  }

  friend Jet operator+(Jet a, const Jet& b) {
    for (std::size_t k = 0; k <= N; ++k) a.c[k] += b.c[k];
    return a;
  }
  friend Jet operator-(Jet a, const Jet& b) {
    for (std::size_t k = 0; k <= N; ++k) a.c[k] -= b.c[k];
    return a;
  }
  friend Jet operator*(const Jet& a, const Jet& b) {
    Jet r;
    for (std::size_t k = 0; k <= N; ++k)
      for (std::size_t i = 0; i <= k; ++i) r.c[k] += a.c[i] * b.c[k - i];
    return r;
  }
  friend Jet operator*(Jet a, double s) {
    for (auto& v : a.c) v *= s;
    return a;
  }
  // a / b by the recurrence of series division (b.c[0] != 0).
  friend Jet operator/(const Jet& a, const Jet& b) {
    Jet r;
    for (std::size_t k = 0; k <= N; ++k) {
      double v = a.c[k];
      for (std::size_t i = 1; i <= k; ++i) v -= b.c[i] * r.c[k - i];
      r.c[k] = v / b.c[0];
    }
    return r;
  }
};

// f(u(t)) from u's jet and f's value and derivatives f^(k)(u0), k = 1..N, at u0 = u.c[0]
// (Taylor's formula in the increment u - u0, whose powers start at order 1).
template <std::size_t N>
Jet<N> compose(const Jet<N>& u, double value, const double* d) {
  Jet<N> delta = u;
  delta.c[0] = 0.0;
  Jet<N> out = Jet<N>::constant(value);
  Jet<N> power = Jet<N>::constant(1.0);
  double factorial = 1.0;
  for (std::size_t k = 1; k <= N; ++k) {
    power = power * delta;
    factorial *= static_cast<double>(k);
    out = out + power * (d[k - 1] / factorial);
  }
  return out;
}

}  // namespace velkan::families
