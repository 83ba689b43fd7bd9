#include "velkan_core/smooth/bspline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "diag/format.h"
#include "velkan_core/smooth/penalty.h"

namespace velkan {

double bspline_value(std::size_t i, std::size_t d, std::span<const double> t, double x) {
  const std::size_t l = t.size();
  // Every term of a spline that starts past the last knot has an index out of range.
  if (i >= l) return 0.0;
  if (d == 0) {
    if (i + 1 >= l) return 0.0;
    // The last span is closed so that the right end of the knot vector is covered.
    if (i + 2 == l) return (t[i] <= x && x <= t[i + 1]) ? 1.0 : 0.0;
    return (t[i] <= x && x < t[i + 1]) ? 1.0 : 0.0;
  }
  double left = 0.0;
  double right = 0.0;
  if (i + d < l) {
    const double den = t[i + d] - t[i];
    if (std::fabs(den) > kSplineDenominatorFloor) {
      left = (x - t[i]) / den * bspline_value(i, d - 1, t, x);
    }
  }
  if (i + d + 1 < l) {
    const double den = t[i + d + 1] - t[i + 1];
    if (std::fabs(den) > kSplineDenominatorFloor) {
      right = (t[i + d + 1] - x) / den * bspline_value(i + 1, d - 1, t, x);
    }
  }
  return left + right;
}

namespace {

// d/dx of the cubic B-spline j through the two quadratic splines it is built from.
double bspline_derivative(std::size_t j, std::span<const double> t, double x) {
  const std::size_t l = t.size();
  double left = 0.0;
  double right = 0.0;
  if (j + 3 < l && std::fabs(t[j + 3] - t[j]) > kSplineDenominatorFloor) {
    left = 3.0 / (t[j + 3] - t[j]) * bspline_value(j, 2, t, x);
  }
  if (j + 4 < l && std::fabs(t[j + 4] - t[j + 1]) > kSplineDenominatorFloor) {
    right = 3.0 / (t[j + 4] - t[j + 1]) * bspline_value(j + 1, 2, t, x);
  }
  return left - right;
}

// The four possibly non-zero cubic B-splines B_first .. B_first+3 at one point, with
// their derivatives.
struct LocalValues {
  std::size_t first = 0;
  std::array<double, 4> value{};
  std::array<double, 4> slope{};
};

// Cox-de Boor restricted to the triangle of splines that are non-zero in span s
// (t[s] <= x < t[s + 1], 3 <= s < k): degree d has the splines s - d .. s. Each value is
// formed by the same two guarded terms, in the same order, as bspline_value; the splines
// outside the triangle are exactly zero there (their indicators are all 0 and every
// quotient is finite), so leaving them out changes no value. The slopes are formed only
// when kSlopes is set (plain evaluation needs none, and they cost divisions per point).
template <bool kSlopes>
LocalValues local_values(std::span<const double> t, std::size_t s, double x) {
  const std::size_t l = t.size();
  auto left = [&](std::size_t i, std::size_t d, double lower) {
    if (i + d >= l) return 0.0;
    const double den = t[i + d] - t[i];
    return std::fabs(den) > kSplineDenominatorFloor ? (x - t[i]) / den * lower : 0.0;
  };
  auto right = [&](std::size_t i, std::size_t d, double upper) {
    if (i + d + 1 >= l) return 0.0;
    const double den = t[i + d + 1] - t[i + 1];
    return std::fabs(den) > kSplineDenominatorFloor ? (t[i + d + 1] - x) / den * upper : 0.0;
  };
  // prev[r] holds the degree d - 1 spline s - (d - 1) + r; entries past the triangle are 0.
  std::array<double, 5> prev{1.0, 0.0, 0.0, 0.0, 0.0};
  std::array<double, 5> cur{};
  std::array<double, 3> quadratic{};
  for (std::size_t d = 1; d <= 3; ++d) {
    const std::size_t base = s - d;
    for (std::size_t r = 0; r <= d; ++r) {
      const std::size_t i = base + r;
      // Spline i of degree d - 1 sits at prev[r - 1] (absent for r = 0), spline i + 1 at
      // prev[r] (absent for r = d). An absent spline is 0 and its term a finite quotient
      // times 0 (x is finite here), which adds nothing but possibly the sign of a zero:
      // it is left out rather than paid for with a division.
      const double from_left = r == 0 ? 0.0 : left(i, d, prev[r - 1]);
      const double from_right = r < d ? right(i, d, prev[r]) : 0.0;
      cur[r] = r == 0 ? from_right : r == d ? from_left : from_left + from_right;
    }
    if (d == 2) std::copy(cur.begin(), cur.begin() + 3, quadratic.begin());
    prev = cur;
    cur = {};
  }

  LocalValues out;
  out.first = s - 3;
  for (std::size_t r = 0; r < 4; ++r) out.value[r] = prev[r];
  if (!kSlopes) return out;
  for (std::size_t r = 0; r < 4; ++r) {
    const std::size_t j = out.first + r;
    // Quadratic splines j and j + 1; quadratic[q] is spline s - 2 + q.
    const double qj = r >= 1 ? quadratic[r - 1] : 0.0;
    const double qj1 = r <= 2 ? quadratic[r] : 0.0;
    double a = 0.0;
    double b = 0.0;
    if (j + 3 < l && std::fabs(t[j + 3] - t[j]) > kSplineDenominatorFloor) {
      a = 3.0 / (t[j + 3] - t[j]) * qj;
    }
    if (j + 4 < l && std::fabs(t[j + 4] - t[j + 1]) > kSplineDenominatorFloor) {
      b = 3.0 / (t[j + 4] - t[j + 1]) * qj1;
    }
    out.slope[r] = a - b;
  }
  return out;
}

// Two doubles processed together: the recursion's divisions dominate its cost, and the
// processor divides both lanes of a pair in about the time of one.
typedef double Pair __attribute__((vector_size(16)));

// local_values<false> at two points at once, point a in span sa and point b in span sb
// (both regular spans), written into row_a and row_b. Every lane performs exactly the
// operations local_values performs for its point (IEEE operations are exact per lane), so
// the values are identical to it. In a regular span the knot indices of the triangle stay
// below t.size() (i + d + 1 <= s + 4 <= k + 3), so the index guards of local_values never
// apply and only the denominator guard remains.
void local_values_pair(std::span<const double> t, std::size_t sa, std::size_t sb, double xa,
                       double xb, double* row_a, double* row_b) {
  const Pair x = {xa, xb};
  const Pair zero = {0.0, 0.0};
  const Pair floor = {kSplineDenominatorFloor, kSplineDenominatorFloor};
  auto at = [&](std::size_t ia, std::size_t ib) { return Pair{t[ia], t[ib]}; };
  auto guarded = [&](Pair den, Pair quotient) {
    const Pair magnitude = den < zero ? -den : den;
    return magnitude > floor ? quotient : zero;
  };
  std::array<Pair, 5> prev{Pair{1.0, 1.0}, zero, zero, zero, zero};
  std::array<Pair, 5> cur{};
  // Unrolled completely, the triangle lives in registers instead of on the stack.
#pragma GCC unroll 3
  for (std::size_t d = 1; d <= 3; ++d) {
#pragma GCC unroll 4
    for (std::size_t r = 0; r <= d; ++r) {
      const std::size_t ia = sa - d + r, ib = sb - d + r;
      Pair from_left = zero, from_right = zero;
      if (r > 0) {
        const Pair lo = at(ia, ib);
        const Pair den = at(ia + d, ib + d) - lo;
        from_left = guarded(den, (x - lo) / den * prev[r - 1]);
      }
      if (r < d) {
        const Pair hi = at(ia + d + 1, ib + d + 1);
        const Pair den = hi - at(ia + 1, ib + 1);
        from_right = guarded(den, (hi - x) / den * prev[r]);
      }
      cur[r] = r == 0 ? from_right : r == d ? from_left : from_left + from_right;
    }
    prev = cur;
    cur = {};
  }
  for (std::size_t r = 0; r < 4; ++r) {
    row_a[sa - 3 + r] = prev[r][0];
    row_b[sb - 3 + r] = prev[r][1];
  }
}

}  // namespace

BSplineBasis::BSplineBasis(std::size_t k, Vector knots) : k_(k), knots_(std::move(knots)) {
  const std::size_t m = knots_.size();
  full_.reserve(m + 6);
  for (int r = 0; r < 3; ++r) full_.push_back(knots_[0]);
  for (std::size_t i = 0; i < m; ++i) full_.push_back(knots_[i]);
  for (int r = 0; r < 3; ++r) full_.push_back(knots_[m - 1]);
}

// The constructor is private: every basis passes these checks, so evaluation can index
// t[3] .. t[k] of the full knot vector without further tests.
Result<std::unique_ptr<BSplineBasis>> BSplineBasis::create(std::size_t k, Vector knots) {
  if (k < 4 || knots.size() + 2 != k) {
    return fail(GamError::invalid_parameter(diag::format(
        "A cubic B-spline basis needs k >= 4 and k - 2 knots, got k = {} and {} knots",
        {k, knots.size()})));
  }
  return std::unique_ptr<BSplineBasis>(new BSplineBasis(k, std::move(knots)));
}

std::size_t BSplineBasis::span_of(double x) const {
  // The last knot t[s] <= x among t[3] .. t[k] (t[3] <= x holds and x < t[k] keeps s below
  // k), the same index as upper_bound minus one. The search halves the range with
  // conditional moves instead of branches, which random points would mispredict half of
  // the time.
  const double* first = full_.data() + 3;
  std::size_t len = k_ - 2;  // t[3] .. t[k]
  while (len > 1) {
    const std::size_t half = len / 2;
    first = first[half] <= x ? first + half : first;
    len -= half;
  }
  return static_cast<std::size_t>(first - full_.data());
}

// Just inside the boundary knots. At exactly the last knot every cubic B-spline of the
// clamped vector is zero (only the zero-width last span's indicator fires there), so
// points at or beyond it are evaluated a little below it. Where the data are so large
// that subtracting kBoundaryOffset rounds back to the knot itself (|hi| above about 2e6),
// the largest double below the knot is used instead: without that, the rows at and
// beyond the maximum of such data would be all zeros.
double BSplineBasis::inner_lo() const {
  const double hi = knots_[knots_.size() - 1];
  const double p = knots_[0] + kBoundaryOffset;
  return p >= hi ? std::nextafter(hi, -std::numeric_limits<double>::infinity()) : p;
}

double BSplineBasis::inner_hi() const {
  const double hi = knots_[knots_.size() - 1];
  const double p = hi - kBoundaryOffset;
  return p >= hi ? std::nextafter(hi, -std::numeric_limits<double>::infinity()) : p;
}

void BSplineBasis::values_at(double x, double* row, double* deriv) const {
  const std::span<const double> t = full_;
  // Regular span: t[3] <= x < t[k], i.e. inside [q_0, q_{m-1}). Anything else (NaN,
  // degenerate knot vectors) takes the full recursion.
  if (t[3] <= x && x < t[k_]) {
    const std::size_t s = span_of(x);
    if (deriv) {
      const LocalValues v = local_values<true>(t, s, x);
      for (std::size_t r = 0; r < 4; ++r) {
        row[v.first + r] = v.value[r];
        deriv[v.first + r] = v.slope[r];
      }
    } else {
      const LocalValues v = local_values<false>(t, s, x);
      for (std::size_t r = 0; r < 4; ++r) row[v.first + r] = v.value[r];
    }
    return;
  }
  for (std::size_t j = 0; j < k_; ++j) {
    row[j] = bspline_value(j, 3, t, x);
    if (deriv) deriv[j] = bspline_derivative(j, t, x);
  }
}

Result<Matrix> BSplineBasis::evaluate(VectorView x) const {
  Matrix out(x.size, k_);
  if (auto ok = evaluate_into(x, out.data(), k_); !ok) return fail(ok.error());
  return out;
}

Status BSplineBasis::evaluate_into(VectorView x, double* out, std::size_t row_stride) const {
  const std::size_t n = x.size;
  const double lo = knots_[0];
  const double hi = knots_[knots_.size() - 1];
  const double below_at = inner_lo();
  const double above_at = inner_hi();
  // Value and slope of every function at the two extrapolation anchors.
  std::vector<double> below_value(k_, 0.0), below_slope(k_, 0.0);
  std::vector<double> above_value(k_, 0.0), above_slope(k_, 0.0);
  values_at(below_at, below_value.data(), below_slope.data());
  values_at(above_at, above_value.data(), above_slope.data());

  const std::span<const double> t = full_;
  // A point inside a regular span waits here for a second one, and the two are evaluated
  // together (local_values_pair); every other row is written at once.
  bool waiting = false;
  double wait_at = 0.0;
  double* wait_row = nullptr;
  for (std::size_t p = 0; p < n; ++p) {
    const double xp = x[p];
    double* row = out + p * row_stride;
    if (xp < lo - kBoundaryTolerance) {
      for (std::size_t j = 0; j < k_; ++j) {
        row[j] = below_value[j] + (xp - below_at) * below_slope[j];
      }
    } else if (xp > hi + kBoundaryTolerance) {
      for (std::size_t j = 0; j < k_; ++j) {
        row[j] = above_value[j] + (xp - above_at) * above_slope[j];
      }
    } else {
      double at = xp;
      if (xp < lo + kBoundaryTolerance) {
        at = below_at;
      } else if (xp > hi - kBoundaryTolerance || xp >= hi) {
        at = above_at;
      }
      // Inside, only the non-zero functions are written.
      std::fill(row, row + k_, 0.0);
      if (!(t[3] <= at && at < t[k_])) {
        values_at(at, row, nullptr);  // degenerate knots: the full recursion
      } else if (!waiting) {
        waiting = true;
        wait_at = at;
        wait_row = row;
      } else {
        local_values_pair(t, span_of(wait_at), span_of(at), wait_at, at, wait_row, row);
        waiting = false;
      }
    }
  }
  if (waiting) values_at(wait_at, wait_row, nullptr);
  return {};
}

namespace {

// Puts into v[pos], for every pos of the ascending `positions`, the value a full sort of
// v would put there, leaving the rest unsorted. v[lo, hi) holds exactly the values of
// ranks lo .. hi - 1; each nth_element settles the middle wanted rank and splits the
// range there, so the cost is O(N log P) for P positions instead of O(N log N).
void place_order_statistics(std::vector<double>& v, std::span<const std::size_t> positions,
                            std::size_t lo, std::size_t hi) {
  if (positions.empty() || hi - lo <= 1) return;
  const std::size_t mid = positions.size() / 2;
  const std::size_t pos = positions[mid];
  const auto base = v.begin();
  std::nth_element(base + static_cast<std::ptrdiff_t>(lo), base + static_cast<std::ptrdiff_t>(pos),
                   base + static_cast<std::ptrdiff_t>(hi));
  place_order_statistics(v, positions.first(mid), lo, pos);
  place_order_statistics(v, positions.subspan(mid + 1), pos + 1, hi);
}

// The values a full sort of x would put at each of the ascending, distinct `ranks` (all
// below x.size, x finite and not empty), read in three passes: the range, a histogram of
// kQuantileBuckets equal-width buckets, and a gather of the buckets that hold a wanted
// rank, which are then selected in. The bucket index is non-decreasing in the value, so
// every value of a bucket sorts before every value of the next and a rank's bucket is
// found from the counts. Data whose wanted buckets hold more than a quarter of the values
// (extreme outliers, heavy ties) are selected in place instead. Either way the values are
// exact order statistics.
std::vector<double> order_statistics(VectorView x, std::span<const std::size_t> ranks) {
  const std::size_t n = x.size;
  double lo = x[0], hi = x[0];
  for (std::size_t i = 1; i < n; ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
  std::vector<double> out(ranks.size(), lo);
  if (lo == hi) return out;

  auto in_place = [&]() {
    std::vector<double> xs(n);
    for (std::size_t i = 0; i < n; ++i) xs[i] = x[i];
    place_order_statistics(xs, ranks, 0, n);
    for (std::size_t k = 0; k < ranks.size(); ++k) out[k] = xs[ranks[k]];
    return out;
  };
  const double scale = static_cast<double>(kQuantileBuckets) / (hi - lo);
  if (!std::isfinite(scale) || n < 4 * kQuantileBuckets) return in_place();
  auto bucket = [&](double v) {
    return std::min(static_cast<std::size_t>((v - lo) * scale), kQuantileBuckets - 1);
  };

  std::vector<std::size_t> start(kQuantileBuckets + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++start[bucket(x[i]) + 1];
  for (std::size_t b = 0; b < kQuantileBuckets; ++b) start[b + 1] += start[b];

  // Where each wanted bucket's values go in the gathered array.
  constexpr std::size_t kUnused = static_cast<std::size_t>(-1);
  std::vector<std::size_t> slot(kQuantileBuckets, kUnused);
  std::vector<std::size_t> bucket_of(ranks.size());
  std::size_t gathered = 0;
  for (std::size_t k = 0; k < ranks.size(); ++k) {
    const auto above = std::upper_bound(start.begin(), start.end(), ranks[k]);
    const std::size_t b = static_cast<std::size_t>(above - start.begin()) - 1;
    bucket_of[k] = b;
    if (slot[b] == kUnused) {
      slot[b] = gathered;
      gathered += start[b + 1] - start[b];
    }
  }
  if (gathered > n / 4) return in_place();

  std::vector<double> values(gathered);
  std::vector<std::size_t> fill(slot);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t b = bucket(x[i]);
    if (slot[b] != kUnused) values[fill[b]++] = x[i];
  }
  // Rank r of bucket b sits at slot[b] + r - start[b] once its bucket is selected in.
  std::vector<std::size_t> positions(ranks.size());
  for (std::size_t k = 0; k < ranks.size(); ++k)
    positions[k] = slot[bucket_of[k]] + ranks[k] - start[bucket_of[k]];
  for (std::size_t k = 0; k < ranks.size();) {
    const std::size_t b = bucket_of[k];
    std::size_t e = k;
    while (e < ranks.size() && bucket_of[e] == b) ++e;
    const std::size_t from = slot[b];
    const std::size_t to = from + start[b + 1] - start[b];
    place_order_statistics(values, std::span<const std::size_t>(positions).subspan(k, e - k),
                           from, to);
    k = e;
  }
  for (std::size_t k = 0; k < ranks.size(); ++k) out[k] = values[positions[k]];
  return out;
}

Result<void> check_basis_size(std::size_t k) {
  if (k < 2) {
    return fail(GamError::invalid_parameter(diag::format(
        "A bs smooth needs at least 2 basis functions, got {}", {k})));
  }
  if (k > kMaxBasisFunctions) {
    return fail(GamError::invalid_parameter(
        diag::format("Number of basis functions ({}) exceeds the supported maximum of {}",
                     {k, kMaxBasisFunctions})));
  }
  return {};
}

// Penalty first (its errors are the caller's to see, before any basis is built), then
// the basis on the same knots.
Result<SmoothTerm> make_bs_term(std::string name, std::size_t k, Vector knots) {
  auto penalty = compute_penalty_matrix("cubic", k, knots.view());
  if (!penalty) return fail(penalty.error());
  auto basis = BSplineBasis::create(k, std::move(knots));
  if (!basis) return fail(basis.error());
  SmoothTerm term;
  term.name = std::move(name);
  term.basis = std::move(*basis);
  term.penalty = std::move(*penalty);
  return term;
}

}  // namespace

Result<SmoothTerm> new_bs_smooth(std::string name, std::size_t k, VectorView x) {
  if (auto ok = check_basis_size(k); !ok) return fail(ok.error());
  if (x.size == 0) {
    return fail(GamError::invalid_parameter(
        "Cannot place bs smooth knots on an empty data column"));
  }
  // Quantiles need a total order, and an infinite value would make the range infinite.
  for (std::size_t i = 0; i < x.size; ++i) {
    if (!std::isfinite(x[i])) {
      return fail(GamError::invalid_parameter(diag::format(
          "The data column of a bs smooth must be finite, found {} at row {}", {x[i], i})));
    }
  }

  // Interior quantiles (i + 1) / (k - 1), linear between order statistics; the 0 and 1
  // quantiles (the data extremes) are not knots. Position r_i on the 0 .. N - 1 scale of
  // order statistics; as p < 1, j = floor(r) is below N - 1 except for a single-value
  // column, whose one value is then the knot.
  const std::size_t count = x.size;
  const std::size_t m = k - 2;
  std::vector<double> position(m);
  std::vector<std::size_t> wanted{0, count - 1};
  for (std::size_t i = 0; i < m; ++i) {
    const double p = static_cast<double>(i + 1) / static_cast<double>(k - 1);
    position[i] = p * static_cast<double>(count - 1);
    const auto j = static_cast<std::size_t>(std::floor(position[i]));
    wanted.push_back(std::min(j, count - 1));
    wanted.push_back(std::min(j + 1, count - 1));
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

  // The wanted order statistics, and a lookup of each by its rank.
  const std::vector<double> stats = order_statistics(x, wanted);
  auto xs = [&](std::size_t rank) {
    const auto at = std::lower_bound(wanted.begin(), wanted.end(), rank);
    return stats[static_cast<std::size_t>(at - wanted.begin())];
  };
  const double x_min = xs(0);
  const double x_max = xs(count - 1);

  Vector knots(m);
  for (std::size_t i = 0; i < m; ++i) {
    const double r = position[i];
    const auto j = static_cast<std::size_t>(std::floor(r));
    if (j < count - 1) {
      const double f = r - static_cast<double>(j);
      knots[i] = (1.0 - f) * xs(j) + f * xs(j + 1);
    } else {
      knots[i] = xs(count - 1);
    }
  }
  // Ties at an extreme put a knot on it; keep every knot strictly inside the data.
  const double eps = (x_max - x_min) * kKnotPullIn;
  for (double& q : knots) {
    if (q <= x_min) q = x_min + eps;
    if (q >= x_max) q = x_max - eps;
  }
  return make_bs_term(std::move(name), k, std::move(knots));
}

Result<SmoothTerm> new_bs_smooth_from_knots(std::string name, std::size_t k, Vector knots) {
  if (auto ok = check_basis_size(k); !ok) return fail(ok.error());
  if (knots.size() + 2 != k) {
    return fail(GamError::invalid_parameter(
        diag::format("A bs smooth with {} basis functions needs {} knots, got {}",
                     {k, k - 2, knots.size()})));
  }
  return make_bs_term(std::move(name), k, std::move(knots));
}

Result<SmoothTerm> new_bs_smooth_even_knots(std::string name, std::size_t num_basis,
                                            double x_min, double x_max) {
  if (auto ok = check_basis_size(num_basis); !ok) return fail(ok.error());
  const std::size_t m = num_basis - 2;
  Vector knots(m);
  for (std::size_t i = 0; i < m; ++i) {
    // With fewer than two knots there is no spacing: the single knot sits at x_min.
    knots[i] = m >= 2 ? x_min + static_cast<double>(i) * (x_max - x_min) /
                                    static_cast<double>(num_basis - 3)
                      : x_min;
  }
  return make_bs_term(std::move(name), num_basis, std::move(knots));
}

}  // namespace velkan
