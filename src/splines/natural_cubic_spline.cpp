#include "splines/natural_cubic_spline.h"

namespace velkan {

NaturalSplineSystem natural_spline_system(VectorView knots) {
  const std::size_t k = knots.size;
  const std::size_t n = k - 2;
  NaturalSplineSystem s;
  s.h.resize(k - 1);
  for (std::size_t j = 0; j + 1 < k; ++j) s.h[j] = knots[j + 1] - knots[j];
  const std::vector<double>& h = s.h;
  s.d.resize(n);
  s.b_diag.resize(n);
  s.b_off.resize(n - 1);
  for (std::size_t i = 0; i < n; ++i) {
    s.d[i] = {1.0 / h[i], -1.0 / h[i] - 1.0 / h[i + 1], 1.0 / h[i + 1]};
    s.b_diag[i] = (h[i] + h[i + 1]) / 3.0;
  }
  for (std::size_t i = 0; i + 1 < n; ++i) s.b_off[i] = h[i + 1] / 6.0;
  return s;
}

}  // namespace velkan
