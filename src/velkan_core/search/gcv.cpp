#include "velkan_core/search/gcv.h"

#include <array>
#include <cmath>
#include <limits>

#include "common/interrupt.h"
#include "linalg/dense_solve.h"
#include "linalg/products.h"

namespace velkan {

namespace {

// The weighted cross products of one search: formed once, reused by every score.
struct GcvData {
  VectorView y;
  MatrixView x;
  VectorView w;
  Matrix xtwx;
  Vector xtwy;
};

GcvData make_data(VectorView y, MatrixView x, VectorView w) {
  return {y, x, w, compute_xtwx(x, w), compute_xtwy(x, w, y)};
}

Result<double> score_cached(const GcvData& d, MatrixView s, double lambda) {
  const std::size_t n = d.x.rows;
  const std::size_t p = d.xtwx.rows();
  Matrix a = d.xtwx;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) a(i, j) += lambda * s(i, j);
  auto beta = solve(a, d.xtwy);
  if (!beta) return std::unexpected(beta.error());
  const Vector fitted = matvec(d.x, *beta);
  double rss = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double r = d.y[k] - fitted[k];
    rss += d.w[k] * r * r;
  }
  auto a_inv = inverse(a);
  if (!a_inv) return std::unexpected(a_inv.error());
  // tr(X A^-1 X'W) = tr(A^-1 X'WX): the n x n influence matrix is never formed.
  double tr = 0.0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) tr += (*a_inv)(i, j) * d.xtwx(j, i);
  const double nn = static_cast<double>(n);
  return nn * rss / ((nn - tr) * (nn - tr));
}

struct Point {
  double rho = 0.0;
  double value = std::numeric_limits<double>::infinity();
};

// Strict preference between two evaluated points. A NaN score counts as +inf. Equal
// scores prefer the lambda closer to 1, so a score that does not depend on lambda keeps
// lambda near its starting value instead of drifting to a bound.
bool better(const Point& a, const Point& b) {
  const double inf = std::numeric_limits<double>::infinity();
  const double va = std::isnan(a.value) ? inf : a.value;
  const double vb = std::isnan(b.value) ? inf : b.value;
  if (va != vb) return va < vb;
  return std::fabs(a.rho) < std::fabs(b.rho);
}

}  // namespace

Result<double> gcv_score(VectorView y, MatrixView x, VectorView w, MatrixView s, double lambda) {
  return score_cached(make_data(y, x, w), s, lambda);
}

Status optimize_gcv(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                    std::span<const Matrix> penalties, std::size_t m) {
  if (m != 1) return std::unexpected(GamError::not_implemented(kGcvMultipleSmoothsMessage));
  const GcvData data = make_data(y, x, w);
  const MatrixView s = penalties[0];

  std::size_t evaluations = 0;
  Point best;
  bool have_best = false;
  auto evaluate = [&](double rho) -> Result<Point> {
    if (auto ok = poll_interrupt(); !ok) return std::unexpected(ok.error());
    ++evaluations;
    auto v = score_cached(data, s, std::exp(rho));
    if (!v) return std::unexpected(v.error());
    const Point pt{rho, *v};
    if (!have_best || better(pt, best)) {
      best = pt;
      have_best = true;
    }
    return pt;
  };

  // Coarse grid over the whole range. The score of a one-penalty fit is smooth in rho and
  // in ordinary problems has one minimum, so the grid's best point brackets it between
  // its neighbours. Only comparisons of scores steer the search, so multiplying y by a
  // constant (which scales every score by its square) changes nothing.
  std::array<Point, kGcvGridPoints> grid;
  std::size_t ib = 0;
  for (std::size_t i = 0; i < kGcvGridPoints; ++i) {
    const double rho = i + 1 == kGcvGridPoints
                           ? kLogLambdaMax
                           : kLogLambdaMin + static_cast<double>(i) *
                                                 (kLogLambdaMax - kLogLambdaMin) /
                                                 static_cast<double>(kGcvGridPoints - 1);
    auto pt = evaluate(rho);
    if (!pt) return std::unexpected(pt.error());
    grid[i] = *pt;
    if (better(grid[i], grid[ib])) ib = i;
  }

  // Golden-section refinement inside the bracket; the remaining evaluations shrink it to
  // about 0.03 in rho.
  constexpr double kInvPhi = 0.6180339887498949;  // (sqrt(5) - 1) / 2
  double lo = grid[ib > 0 ? ib - 1 : 0].rho;
  double hi = grid[ib + 1 < kGcvGridPoints ? ib + 1 : kGcvGridPoints - 1].rho;
  auto pc = evaluate(hi - kInvPhi * (hi - lo));
  if (!pc) return std::unexpected(pc.error());
  auto pd = evaluate(lo + kInvPhi * (hi - lo));
  if (!pd) return std::unexpected(pd.error());
  Point c = *pc, d = *pd;
  while (evaluations < kGcvMaxEvaluations) {
    if (better(c, d)) {  // the minimum lies in [lo, d]
      hi = d.rho;
      d = c;
      auto next = evaluate(hi - kInvPhi * (hi - lo));
      if (!next) return std::unexpected(next.error());
      c = *next;
    } else {  // in [c, hi]
      lo = c.rho;
      c = d;
      auto next = evaluate(lo + kInvPhi * (hi - lo));
      if (!next) return std::unexpected(next.error());
      d = *next;
    }
  }
  state.lambda = Vector{std::exp(best.rho)};
  return {};
}

}  // namespace velkan
