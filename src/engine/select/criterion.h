// Smoothing-parameter criteria of the penalized working model, evaluated from its cross
// products alone (no pass over the data), with exact first and second derivatives with
// respect to rho = log lambda.
//
// The working problem of one pass, in the constrained parameterisation: G = X'WX,
// r = X'W t and c = t'W t with t the working response measured from the expansion point
// beta0 (see passes/accumulate.h), penalties S_j with smoothing parameters lambda_j and a
// fixed diagonal `ridge` (zero except on directions neither data nor penalties determine).
// With H = G + ridge + sum_j lambda_j S_j the penalized coefficients are
//
//   beta = H^-1 (r + G beta0),        delta = beta - beta0,
//   D    = c - 2 delta'r + delta'G delta          (working deviance at beta)
//   D_p  = D + beta'(ridge + S_lambda) beta       (penalized working deviance)
//   tau  = tr(H^-1 G)                             (effective degrees of freedom)
//
// and the criteria, n rows and M the dimension of the unpenalized space:
//
//   REML, scale phi known:   V = (D_p / phi + ln|H| - ln|S_lambda|_+ + (n - M) ln(2 pi phi)) / 2
//   REML, scale estimated:   the same at phi = D_p / (n - M)
//   GCV:                     V = n D / (n - tau)^2
//   UBRE (scale phi known):  V = D / n - phi + 2 phi tau / n
//
// ln|S_lambda|_+ comes from the layout (exact in lambda). The ridge does not move with
// lambda, so every derivative below is the exact derivative of the score, ridge included:
//
//   d beta / d rho_j = -lambda_j H^-1 S_j beta,   d D_p / d rho_j = lambda_j beta'S_j beta,
//   d ln|H| / d rho_j = lambda_j tr(H^-1 S_j),    and so on (criterion.cpp).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "engine/terms/layout.h"

namespace velkan::select {

enum class Criterion { Reml, Gcv, Ubre };

// A block of coefficients [offset, offset + groups * block) on which G, the ridge and every
// penalty are block diagonal with groups equal blocks (a random effect of many levels):
// REML then eliminates it block by block (blocked.h). Penalties on it are compact (one
// block, repeat = groups); the others lie outside it.
struct SparseBlock {
  std::size_t offset = 0;
  std::size_t groups = 0;
  std::size_t block = 0;
  std::size_t size() const { return groups * block; }
};

struct WorkingProblem {
  Matrix xtwx;   // G, p x p
  Vector xtwt;   // r
  double ttwt = 0.0;
  Vector beta0;
  double rows = 0.0;  // n: rows with positive weight, or the sum of frequency weights
  std::vector<terms::PenaltyBlock> penalties;
  // ln|S_lambda|_+ and its derivatives at rho (one entry per penalty).
  std::function<terms::LogDeterminant(VectorView rho)> log_det_penalty;
  // M: the unpenalized directions the data determine (those the ridge holds are no
  // parameters of the fit, and do not count against the residual degrees of freedom).
  std::size_t null_space_dimension = 0;
  Vector ridge;  // p entries, or empty for none
  std::optional<SparseBlock> sparse;
};

// GCV counts a fit as saturated when n - tau is below this share of n.
inline constexpr double kSaturatedShare = 1e-8;

struct Evaluation {
  // False where the criterion is undefined: H not positive definite, or (estimated scale)
  // no residual information left (D_p <= 0 or n <= M; GCV: n <= tau).
  bool defined = false;
  // Whether H was factorised (beta and the deviances are then valid even where the
  // criterion is undefined).
  bool solved = false;
  // Undefined because the fit leaves no residual degrees of freedom to estimate the scale
  // from (REML: n <= M; GCV: n - tau below kSaturatedShare n).
  bool saturated = false;
  double score = 0.0;
  Vector gradient;  // one entry per penalty (order >= 1)
  Matrix hessian;   // (order 2)
  Vector beta;
  double deviance = 0.0;            // D
  double penalized_deviance = 0.0;  // D_p
  double scale = 0.0;               // phi: given, or estimated (REML D_p / (n - M), else D / (n - tau))
  double log_det_h = 0.0;
  double edf = 0.0;                 // tau (computed for order >= 1 and for GCV / UBRE)
  Vector edf_per_coefficient;       // diag(H^-1 G), same condition
  Matrix h_inverse;                 // H^-1, same condition
};

// known_scale: the dispersion for REML / UBRE when it is fixed (binomial, poisson: 1), NaN
// to estimate it (REML only). order: 0 score only, 1 with gradient, 2 with Hessian. A
// problem with a sparse block (REML only) is evaluated by block elimination; its
// h_inverse is then left empty.
Result<Evaluation> evaluate(const WorkingProblem& problem, Criterion criterion,
                            double known_scale, VectorView rho, int order);

}  // namespace velkan::select
