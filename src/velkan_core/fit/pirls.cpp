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

}  // namespace

Result<PirlsResult> pirls(VectorView y, MatrixView x, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family) {
  return pirls(y, x, lambdas, penalties, family, PirlsOptions{});
}

Result<PirlsResult> pirls(VectorView y, MatrixView x, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family,
                          const PirlsOptions& options) {
  if (x.rows != y.size) {
    return fail(GamError::dimension_mismatch(
        diag::format("X has {} rows but y has {} elements", {x.rows, y.size})));
  }
  if (lambdas.size() != penalties.size()) {
    return fail(GamError::dimension_mismatch(
        "Number of lambdas must match number of penalty matrices"));
  }
  const std::size_t n = x.rows;
  const std::size_t p = x.cols;
  // A penalty of the wrong shape would be read out of bounds below.
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    if (penalties[j].rows() != p || penalties[j].cols() != p) {
      return fail(GamError::dimension_mismatch(
          diag::format("Penalty matrix {} is {}x{} but X has {} columns",
                       {j, penalties[j].rows(), penalties[j].cols(), p})));
    }
  }

  // S_lambda does not change during the call; accumulated in order from zero.
  Matrix s_lambda(p, p);
  for (std::size_t j = 0; j < penalties.size(); ++j) s_lambda.add_scaled(penalties[j], lambdas[j]);

  // Gaussian fits are exempt: their first solve is the exact optimum of a quadratic.
  const bool safeguard = family != Family::Gaussian;

  const CrossProducts* cached =
      family == Family::Gaussian ? options.unit_weight_products : nullptr;
  if (cached && (cached->xtwx.rows() != p || cached->xtwx.cols() != p ||
                 cached->xtwy.size() != p)) {
    return fail(GamError::dimension_mismatch(
        diag::format("Cached cross products are {}x{} and {} but X has {} columns",
                     {cached->xtwx.rows(), cached->xtwx.cols(), cached->xtwy.size(), p})));
  }

  // Families other than gaussian change their weights on every iteration, so the next
  // iteration's X'WX and X'Wz are formed in the same pass over the design as the new
  // eta = X beta (compute_xtwx_xtwy_at), when the iteration is going on: one read of the
  // design per iteration instead of two. A step the safeguard shortens discards them.
  const bool streamed = !cached && family != Family::Gaussian;
  CrossProducts next;      // products at the linearisation of eta, when have_next
  bool have_next = false;  // wm.w and wm.z then hold that linearisation's weights too

  Vector beta(p);
  // With the cached products eta is needed only for the result, formed once at the end.
  Vector eta = cached ? Vector() : initial_eta(family, y);
  // The next eta is formed in this buffer, swapped with eta once accepted: a fresh vector
  // of length n per iteration would be fresh pages from the system every time.
  Vector eta_new(cached ? 0 : n);
  WorkingModel wm{cached ? Vector() : Vector(n), cached ? Vector() : Vector(n)};
  Vector xtwx_weights(cached ? 0 : n);  // the weights xtwx was formed with
  Matrix xtwx;
  bool have_xtwx = false;

  double reference = std::numeric_limits<double>::quiet_NaN();  // penalized deviance at beta
  bool have_reference = false;

  PirlsResult out;
  std::size_t iteration = 1;
  for (;; ++iteration) {
    if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
    Vector rhs;
    if (have_next) {
      xtwx = std::move(next.xtwx);
      rhs = std::move(next.xtwy);
      std::swap(xtwx_weights, wm.w);
      have_xtwx = true;
      have_next = false;
    } else if (!cached) {
      linearise(family, y, eta, wm);
      // The O(n p^2) cross product is formed only when the weights changed (gaussian
      // weights are exactly 1 on every iteration, so X'X is formed once per call), in the
      // same pass as X'Wz.
      if (!have_xtwx || wm.w != xtwx_weights) {
        CrossProducts products = compute_xtwx_xtwy(x, wm.w, wm.z);
        xtwx = std::move(products.xtwx);
        rhs = std::move(products.xtwy);
        // The weights are kept by swapping buffers: linearise rewrites every entry of
        // wm.w on the next iteration.
        std::swap(xtwx_weights, wm.w);
        have_xtwx = true;
      } else {
        rhs = compute_xtwy(x, xtwx_weights, wm.z);
      }
    } else {
      rhs = cached->xtwy;
    }
    const Matrix& normal = cached ? cached->xtwx : xtwx;

    // The ridge of linalg/ridged_solve.h, refined away: it keeps the solve finite when
    // the smooths share a null direction and shrinks nothing the data determine.
    const double ridge = normal_matrix_ridge(normal, lambdas.size());
    auto system = RidgedSolver::from_matrix(normal + s_lambda, ridge);
    if (!system) return fail(std::move(system.error()));
    auto solved = system->solve(rhs);
    if (!solved) return fail(std::move(solved.error()));
    Vector beta_new = std::move(*solved);
    const double change = max_abs_change(beta_new, beta);
    const bool going_on = !(change < kPirlsTolerance) && iteration < kPirlsMaxIterations;
    double dev_new = 0.0;  // data_deviance at eta_new when the safeguard needs it
    if (streamed && going_on) {
      auto weigh = [&](std::size_t first, std::span<const double> xb, std::span<double> w,
                       std::span<double> z) {
        for (std::size_t i = 0; i < xb.size(); ++i) {
          const std::size_t k = first + i;
          eta_new[k] = xb[i];
          const double mu = linearise_one(family, y[k], xb[i], wm.z[k], wm.w[k]);
          w[i] = wm.w[k];
          z[i] = wm.z[k];
          // In observation order, as penalized_deviance sums it, with the same mean.
          if (safeguard) dev_new += unit_deviance(family, y[k], mu);
        }
      };
      next = compute_xtwx_xtwy_at(x, beta_new.view(), weigh);
      have_next = true;
    } else if (!cached) {
      matvec_into(x, beta_new, std::span<double>(eta_new.data(), n));
      if (safeguard) dev_new = data_deviance(family, y, eta_new);
    }

    bool stalled = false;
    if (safeguard) {
      double value = dev_new + quad_form(s_lambda, beta_new);
      if (have_reference && worse(value, beta_new, reference, beta, ridge)) {
        // Walk back along the step: beta + t (beta_new - beta), t = 1/2, 1/4, ...
        const Vector full_step = beta_new;
        bool accepted = false;
        double t = 1.0;
        for (std::size_t h = 0; h < kPirlsMaxHalvings; ++h) {
          if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
          t *= 0.5;
          for (std::size_t j = 0; j < p; ++j) {
            beta_new[j] = beta[j] + t * (full_step[j] - beta[j]);
          }
          matvec_into(x, beta_new, std::span<double>(eta_new.data(), n));
          have_next = false;  // formed at the full step's eta
          value = penalized_deviance(family, y, eta_new, s_lambda, beta_new);
          if (!worse(value, beta_new, reference, beta, ridge)) {
            accepted = true;
            break;
          }
        }
        if (!accepted) {
          // No point along the step improves: keep the previous coefficients.
          beta_new = beta;
          eta_new = eta;
          value = reference;
          stalled = true;
          have_next = false;
        }
      }
      reference = value;
      have_reference = true;
    }

    beta = std::move(beta_new);
    if (!cached) std::swap(eta, eta_new);
    if (change < kPirlsTolerance) {
      out.converged = true;
      break;
    }
    if (stalled || iteration == kPirlsMaxIterations) break;
  }

  // The last pass may have been cut short by an interrupt.
  if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
  if (cached) {
    // Gaussian working weights are 1 whatever eta is; the one pass over the design forms
    // eta and, when asked for, the residual sums with it.
    out.weights = Vector(n, 1.0);
    eta = Vector(n);
    if (options.residual_sums) {
      out.residual_sums = compute_residual_products(x, out.weights, y, beta,
                                                    std::span<double>(eta.data(), n));
    } else {
      matvec_into(x, beta, std::span<double>(eta.data(), n));
    }
  } else {
    out.weights = working_weights(family, eta);
  }
  if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
  out.fitted_values = linkinv(family, eta);
  auto total = deviance(family, y, out.fitted_values);
  if (!total) return fail(std::move(total.error()));
  out.deviance = *total;
  out.linear_predictor = std::move(eta);
  out.coefficients = std::move(beta);
  out.iterations = iteration;
  return out;
}

}  // namespace velkan
