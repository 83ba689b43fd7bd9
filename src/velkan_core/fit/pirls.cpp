// Penalized iteratively re-weighted least squares.
//
// Each iteration linearises the model at the current linear predictor eta: working
// response z = eta + (y - mu) / mu'(eta) and working weights w = mu'(eta)^2 / V(mu), then
// solves the ridged penalized normal equations
//   (X'WX + S_lambda + r I) beta = X'Wz,   S_lambda = sum_j lambda_j S_j,
// and moves eta to X beta. The only O(n p^2) work is X'WX, a BLAS rank-k update of
// sqrt(W) X chunk by chunk (linalg/products.h); everything else per iteration is O(n p) or
// O(p^3).
#include "velkan_core/fit/pirls.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "common/interrupt.h"
#include "diag/format.h"
#include "linalg/dense_solve.h"
#include "linalg/products.h"
#include "linalg/ridged_solve.h"

namespace velkan {

namespace {

// The linearisation of the model at one eta: working response and weights.
struct WorkingModel {
  Vector z;
  Vector w;
};

// Working response z and weight w of one observation at linear predictor e; returns the
// mean linkinv(e) (mean_and_derivative's mean is bit-identical to it).
inline double linearise_one(Family family, double y, double e, double& z, double& w) {
  const auto [mu, g] = mean_and_derivative(family, e);
  // A vanishing derivative would blow up (y - mu) / g; the observation then keeps its
  // current linear predictor as working response (its weight is floored anyway).
  z = std::abs(g) >= kPirlsDerivativeFloor ? e + (y - mu) / g : e;
  w = std::max(g * g / std::max(variance(family, mu), kVarianceFloor), kVarianceFloor);
  return mu;
}

void linearise(Family family, VectorView y, const Vector& eta, WorkingModel& out) {
  const std::size_t n = eta.size();
  for (std::size_t i = 0; i < n; ++i) linearise_one(family, y[i], eta[i], out.z[i], out.w[i]);
}

// Largest |a_j - b_j|; +inf as soon as any difference is NaN, so that non-finite
// coefficients can never pass the convergence test.
double max_abs_change(const Vector& a, const Vector& b) {
  double change = 0.0;
  for (std::size_t j = 0; j < a.size(); ++j) {
    const double d = std::abs(a[j] - b[j]);
    if (std::isnan(d)) return std::numeric_limits<double>::infinity();
    change = std::max(change, d);
  }
  return change;
}

// deviance(y, linkinv(eta)), summed in observation order.
double data_deviance(Family family, VectorView y, const Vector& eta) {
  double dev = 0.0;
  for (std::size_t i = 0; i < eta.size(); ++i) {
    dev += unit_deviance(family, y[i], linkinv(family, eta[i]));
  }
  return dev;
}

// deviance(y, linkinv(eta)) + beta' S_lambda beta, the objective the safeguard watches.
double penalized_deviance(Family family, VectorView y, const Vector& eta, const Matrix& s_lambda,
                          const Vector& beta) {
  return data_deviance(family, y, eta) + quad_form(s_lambda, beta);
}

double squared_norm(const Vector& v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return s;
}

bool exceeds(double candidate, double reference) {
  return candidate > reference + kPirlsDevianceSlack * std::abs(reference);
}

// Whether a candidate step is rejected. `value` and `reference` are the penalized
// deviances at the candidate and at the previous coefficients; `ridge` is the ridge of the
// solve that proposed the step. A non-finite value is always rejected; against a
// non-finite reference every finite value is an improvement. Otherwise the step is
// rejected only when the penalized deviance grows beyond rounding both without and with
// the ridge term ridge * |beta|^2: whatever the refinement leaves of the ridge (see
// linalg/ridged_solve.h) can raise the unridged value by a hair close to convergence while
// lowering the ridged one. That is not divergence and must not change the plain
// iteration's result.
bool worse(double value, const Vector& beta_new, double reference, const Vector& beta,
           double ridge) {
  if (!std::isfinite(value)) return true;
  if (!std::isfinite(reference)) return false;
  return exceeds(value, reference) &&
         exceeds(value + ridge * squared_norm(beta_new), reference + ridge * squared_norm(beta));
}

// The checks of pirls(), in the order its header lists them. A penalty of the wrong shape
// would be read out of bounds.
Status check_inputs(VectorView y, MatrixView x, std::span<const double> lambdas,
                    std::span<const Matrix> penalties, const CrossProducts* cached) {
  if (x.rows != y.size) {
    return fail(GamError::dimension_mismatch(
        diag::format("X has {} rows but y has {} elements", {x.rows, y.size})));
  }
  if (lambdas.size() != penalties.size()) {
    return fail(GamError::dimension_mismatch(
        "Number of lambdas must match number of penalty matrices"));
  }
  const std::size_t p = x.cols;
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    if (penalties[j].rows() != p || penalties[j].cols() != p) {
      return fail(GamError::dimension_mismatch(
          diag::format("Penalty matrix {} is {}x{} but X has {} columns",
                       {j, penalties[j].rows(), penalties[j].cols(), p})));
    }
  }
  if (cached && (cached->xtwx.rows() != p || cached->xtwx.cols() != p ||
                 cached->xtwy.size() != p)) {
    return fail(GamError::dimension_mismatch(
        diag::format("Cached cross products are {}x{} and {} but X has {} columns",
                     {cached->xtwx.rows(), cached->xtwx.cols(), cached->xtwy.size(), p})));
  }
  return {};
}

// S_lambda = sum_j lambda_j S_j, accumulated in order from zero (p x p).
Matrix penalty_sum(std::span<const double> lambdas, std::span<const Matrix> penalties,
                   std::size_t p) {
  Matrix s_lambda(p, p);
  for (std::size_t j = 0; j < penalties.size(); ++j) s_lambda.add_scaled(penalties[j], lambdas[j]);
  return s_lambda;
}

// How one iteration ended.
enum class Step { Continue, Converged, Stop };

// The state of one pirls() call: the fixed data and penalty, the coefficients and linear
// predictor reached so far, and the cross products carried from one iteration to the next.
class PirlsIteration {
 public:
  // `cached`: the unit-weight products of a gaussian fit, or nullptr.
  PirlsIteration(VectorView y, MatrixView x, std::span<const double> lambdas,
                 std::span<const Matrix> penalties, Family family, const CrossProducts* cached)
      : y_(y), x_(x), family_(family), lambda_count_(lambdas.size()), cached_(cached),
        // Gaussian fits are exempt: their first solve is the exact optimum of a quadratic.
        safeguard_(family != Family::Gaussian),
        // Families other than gaussian change their weights on every iteration, so the
        // next iteration's X'WX and X'Wz are formed in the same pass over the design as the
        // new eta = X beta (compute_xtwx_xtwy_at), when the iteration is going on: one read
        // of the design per iteration instead of two. A step the safeguard shortens
        // discards them.
        streamed_(!cached && family != Family::Gaussian),
        // Fixed for the whole call.
        s_lambda_(penalty_sum(lambdas, penalties, x.cols)),
        beta_(x.cols),
        // With the cached products eta is needed only for the result, formed once at the end.
        eta_(cached ? Vector() : initial_eta(family, y)),
        // The next eta is formed in this buffer, swapped with eta once accepted: a fresh
        // vector of length n per iteration would be fresh pages from the system every time.
        eta_new_(cached ? 0 : x.rows),
        wm_{cached ? Vector() : Vector(x.rows), cached ? Vector() : Vector(x.rows)},
        xtwx_weights_(cached ? 0 : x.rows) {}

  // One solve and the step it proposes (see pirls() in the header).
  Result<Step> iterate(std::size_t iteration);

  // The result at the coefficients reached; `residual_sums` as PirlsOptions asks.
  Result<PirlsResult> finish(bool converged, std::size_t iterations, bool residual_sums);

 private:
  // The right-hand side X'Wz of this iteration's normal equations. Forms X'WX too when
  // the weights changed; normal_matrix() is then the matrix that goes with it.
  Vector normal_equations();
  const Matrix& normal_matrix() const { return cached_ ? cached_->xtwx : xtwx_; }
  // Forms eta_new = X beta_new (and, for a streamed fit that goes on, the next iteration's
  // products from the same pass). Returns the data deviance at eta_new when the safeguard
  // needs it, 0 otherwise.
  double move_eta(const Vector& beta_new, bool going_on);
  // The safeguard against divergence: halves the step toward beta_ while it makes the
  // penalized deviance worse. True when no halving helped (beta_new is then beta_ again).
  Result<bool> safeguard_step(Vector& beta_new, double dev_new, double ridge);

  VectorView y_;
  MatrixView x_;
  Family family_;
  std::size_t lambda_count_;
  const CrossProducts* cached_;
  bool safeguard_;
  bool streamed_;
  Matrix s_lambda_;

  Vector beta_;
  Vector eta_;
  Vector eta_new_;
  WorkingModel wm_;
  Vector xtwx_weights_;  // the weights xtwx_ was formed with
  Matrix xtwx_;
  bool have_xtwx_ = false;
  CrossProducts next_;      // products at the linearisation of eta, when have_next_
  bool have_next_ = false;  // wm_.w and wm_.z then hold that linearisation's weights too
  double reference_ = std::numeric_limits<double>::quiet_NaN();  // penalized deviance at beta_
  bool have_reference_ = false;
};

Vector PirlsIteration::normal_equations() {
  if (have_next_) {
    xtwx_ = std::move(next_.xtwx);
    std::swap(xtwx_weights_, wm_.w);
    have_xtwx_ = true;
    have_next_ = false;
    return std::move(next_.xtwy);
  }
  if (cached_) return cached_->xtwy;
  linearise(family_, y_, eta_, wm_);
  // The O(n p^2) cross product is formed only when the weights changed (gaussian weights
  // are exactly 1 on every iteration, so X'X is formed once per call), in the same pass as
  // X'Wz.
  if (have_xtwx_ && wm_.w == xtwx_weights_) return compute_xtwy(x_, xtwx_weights_, wm_.z);
  CrossProducts products = compute_xtwx_xtwy(x_, wm_.w, wm_.z);
  xtwx_ = std::move(products.xtwx);
  // The weights are kept by swapping buffers: linearise rewrites every entry of wm_.w on
  // the next iteration.
  std::swap(xtwx_weights_, wm_.w);
  have_xtwx_ = true;
  return std::move(products.xtwy);
}

double PirlsIteration::move_eta(const Vector& beta_new, bool going_on) {
  double dev_new = 0.0;
  if (streamed_ && going_on) {
    auto weigh = [&](std::size_t first, std::span<const double> xb, std::span<double> w,
                     std::span<double> z) {
      for (std::size_t i = 0; i < xb.size(); ++i) {
        const std::size_t k = first + i;
        eta_new_[k] = xb[i];
        const double mu = linearise_one(family_, y_[k], xb[i], wm_.z[k], wm_.w[k]);
        w[i] = wm_.w[k];
        z[i] = wm_.z[k];
        // In observation order, as penalized_deviance sums it, with the same mean.
        if (safeguard_) dev_new += unit_deviance(family_, y_[k], mu);
      }
    };
    next_ = compute_xtwx_xtwy_at(x_, beta_new.view(), weigh);
    have_next_ = true;
  } else if (!cached_) {
    matvec_into(x_, beta_new, std::span<double>(eta_new_.data(), x_.rows));
    if (safeguard_) dev_new = data_deviance(family_, y_, eta_new_);
  }
  return dev_new;
}

Result<bool> PirlsIteration::safeguard_step(Vector& beta_new, double dev_new, double ridge) {
  double value = dev_new + quad_form(s_lambda_, beta_new);
  bool stalled = false;
  if (have_reference_ && worse(value, beta_new, reference_, beta_, ridge)) {
    // Walk back along the step: beta + t (beta_new - beta), t = 1/2, 1/4, ...
    const Vector full_step = beta_new;
    bool accepted = false;
    double t = 1.0;
    for (std::size_t h = 0; h < kPirlsMaxHalvings; ++h) {
      if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
      t *= 0.5;
      for (std::size_t j = 0; j < beta_.size(); ++j) {
        beta_new[j] = beta_[j] + t * (full_step[j] - beta_[j]);
      }
      matvec_into(x_, beta_new, std::span<double>(eta_new_.data(), x_.rows));
      have_next_ = false;  // formed at the full step's eta
      value = penalized_deviance(family_, y_, eta_new_, s_lambda_, beta_new);
      if (!worse(value, beta_new, reference_, beta_, ridge)) {
        accepted = true;
        break;
      }
    }
    if (!accepted) {
      // No point along the step improves: keep the previous coefficients.
      beta_new = beta_;
      eta_new_ = eta_;
      value = reference_;
      stalled = true;
      have_next_ = false;
    }
  }
  reference_ = value;
  have_reference_ = true;
  return stalled;
}

Result<Step> PirlsIteration::iterate(std::size_t iteration) {
  if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
  const Vector rhs = normal_equations();
  const Matrix& normal = normal_matrix();
  // The ridge of linalg/ridged_solve.h, refined away: it keeps the solve finite when the
  // smooths share a null direction and shrinks nothing the data determine.
  const double ridge = normal_matrix_ridge(normal, lambda_count_);
  auto system = RidgedSolver::from_matrix(normal + s_lambda_, ridge);
  if (!system) return fail(std::move(system.error()));
  auto solved = system->solve(rhs);
  if (!solved) return fail(std::move(solved.error()));
  Vector beta_new = std::move(*solved);
  const double change = max_abs_change(beta_new, beta_);
  const bool going_on = !(change < kPirlsTolerance) && iteration < kPirlsMaxIterations;
  const double dev_new = move_eta(beta_new, going_on);

  bool stalled = false;
  if (safeguard_) {
    auto step = safeguard_step(beta_new, dev_new, ridge);
    if (!step) return fail(std::move(step.error()));
    stalled = *step;
  }
  beta_ = std::move(beta_new);
  if (!cached_) std::swap(eta_, eta_new_);
  if (change < kPirlsTolerance) return Step::Converged;
  if (stalled || iteration == kPirlsMaxIterations) return Step::Stop;
  return Step::Continue;
}

Result<PirlsResult> PirlsIteration::finish(bool converged, std::size_t iterations,
                                           bool residual_sums) {
  // The last pass may have been cut short by an interrupt.
  if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
  PirlsResult out;
  const std::size_t n = x_.rows;
  if (cached_) {
    // Gaussian working weights are 1 whatever eta is; the one pass over the design forms
    // eta and, when asked for, the residual sums with it.
    out.weights = Vector(n, 1.0);
    eta_ = Vector(n);
    if (residual_sums) {
      out.residual_sums = compute_residual_products(x_, out.weights, y_, beta_,
                                                    std::span<double>(eta_.data(), n));
    } else {
      matvec_into(x_, beta_, std::span<double>(eta_.data(), n));
    }
  } else {
    out.weights = working_weights(family_, eta_);
  }
  if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
  out.fitted_values = linkinv(family_, eta_);
  auto total = deviance(family_, y_, out.fitted_values);
  if (!total) return fail(std::move(total.error()));
  out.deviance = *total;
  out.linear_predictor = std::move(eta_);
  out.coefficients = std::move(beta_);
  out.iterations = iterations;
  out.converged = converged;
  return out;
}

}  // namespace

Result<PirlsResult> pirls(VectorView y, MatrixView x, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family) {
  return pirls(y, x, lambdas, penalties, family, PirlsOptions{});
}

Result<PirlsResult> pirls(VectorView y, MatrixView x, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family,
                          const PirlsOptions& options) {
  const CrossProducts* cached =
      family == Family::Gaussian ? options.unit_weight_products : nullptr;
  if (auto ok = check_inputs(y, x, lambdas, penalties, cached); !ok) return fail(ok.error());
  PirlsIteration run(y, x, lambdas, penalties, family, cached);
  std::size_t iteration = 1;
  bool converged = false;
  for (;; ++iteration) {
    auto step = run.iterate(iteration);
    if (!step) return fail(std::move(step.error()));
    converged = *step == Step::Converged;
    if (*step != Step::Continue) break;
  }
  return run.finish(converged, iteration, options.residual_sums);
}

}  // namespace velkan
