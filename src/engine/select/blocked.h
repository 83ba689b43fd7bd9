// REML by block elimination, for a working problem whose coefficients hold a large block
// on which G, the ridge and the penalties are block diagonal (criterion.h, SparseBlock):
// a random effect of thousands of levels beside a few dozen other coefficients.
//
// With s the block's coefficients (groups of size b) and d the others,
//
//   H = [H_dd  H_ds; H_sd  H_ss],  H_ss = diag(A_g),   K = H_ss^-1 H_sd,
//   C = H_dd - H_ds K                 (the Schur complement, p_d x p_d),
//   ln|H| = sum_g ln|A_g| + ln|C|,
//   H^-1 = [C^-1, -C^-1 K'; -K C^-1, H_ss^-1 + K C^-1 K'],
//
// and every trace the criterion needs is a sum over groups of b x b products plus p_d x p_d
// products with C^-1: tr(H^-1 S_j) = sum_g tr(W_g P_j) for a penalty P_j repeated on the
// groups (W_g = A_g^-1 + K_g C^-1 K_g'), and for two such penalties
//
//   tr(H^-1 S_j H^-1 S_k) = sum_g tr(A_g^-1 P_j A_g^-1 P_k) + tr(C^-1 (Q_jk + Q_kj))
//                           + tr(C^-1 M_j C^-1 M_k),
//   M_j = sum_g K_g' P_j K_g,   Q_jk = sum_g K_g' P_j A_g^-1 P_k K_g;
//
// against a penalty S_k on d: tr(S_k (C^-1 M_j C^-1)[B_k, B_k]). The effective degrees of
// freedom are diag(H^-1 G) = 1 - diag(H^-1 (S_lambda + ridge)), which needs only the
// diagonal blocks of H^-1. Everything is O(groups (b^2 p_d + b p_d^2) + p_d^3) per
// evaluation: never O(p^3).
#pragma once

#include "common/gam_error.h"
#include <vector>

#include "engine/select/criterion.h"

namespace velkan::select {

// H of a problem with a sparse block at rho, factorised block by block.
class BlockSystem {
 public:
  BlockSystem(const WorkingProblem& problem, VectorView rho);
  // Factorises every group block and the Schur complement; false where H is not positive
  // definite.
  bool factor();
  Vector solve(const Vector& y) const;
  double log_det() const { return log_det_; }
  // S_j x (a p-vector).
  Vector penalty_times(std::size_t j, const Vector& x) const;
  // tr(H^-1 S_j) and tr(H^-1 S_j H^-1 S_k) (after prepare_traces()).
  void prepare_traces();
  double trace_h_s(std::size_t j) const;
  double trace_h_s_h_s(std::size_t j, std::size_t k) const;
  // diag(H^-1 G) = 1 - diag(H^-1 (S_lambda + ridge)).
  Vector edf_per_coefficient() const;
  // H^-1 = D + V C^-1 V' and H^-1 S~ H^-1 = B + F V' + V F' + V R V' (S~ = S_lambda +
  // ridge), with V = [I; -K] over (d, s) and D, B block diagonal on s: what the
  // covariances are assembled from (all p x p results).
  Matrix inverse() const;
  Matrix inverse_penalty_inverse() const;

  std::vector<double> lambda;

 private:
  struct Place {
    bool sparse = false;
    std::size_t first = 0;  // dense: position of its first coefficient among d
  };
  std::size_t full(std::size_t dense_index) const { return dense_index < o_ ? dense_index : dense_index + q_; }
  const Matrix& pen(std::size_t j) const { return wp_.penalties[j].matrix; }
  double ridge(std::size_t i) const { return wp_.ridge.size() ? wp_.ridge[i] : 0.0; }
  Matrix group_penalty(std::size_t g) const;  // S~ on group g (b x b)
  Matrix dense_penalty() const;               // S~ on d (p_d x p_d)
  // out += V M V' (M: p_d x p_d) and out += F V' + V F' (F: p x p_d).
  void add_vmv(const Matrix& m, Matrix& out) const;
  void add_fv(const Matrix& f, Matrix& out) const;

  const WorkingProblem& wp_;
  std::size_t p_, o_, q_, b_, groups_, pd_;
  std::vector<Place> place_;
  std::vector<Matrix> ainv_, k_;    // per group: A_g^-1 (b x b), K_g (b x p_d)
  Matrix cinv_;                     // C^-1
  std::vector<Matrix> m_;           // M_j per sparse penalty (p_d x p_d)
  std::vector<Matrix> cmc_;         // C^-1 M_j C^-1
  double log_det_ = 0.0;
};

Result<Evaluation> evaluate_blocked(const WorkingProblem& problem, double known_scale,
                                    VectorView rho, int order);

// The identifiability ridge of a problem with a sparse block: each group's block of
// G + S_lambda checked on its own, then the Schur complement of the others (positions and
// values as fit_step places them for the dense check). `tolerance` and `ridge` as there.
Result<std::vector<std::size_t>> blocked_undetermined(const WorkingProblem& problem, VectorView rho,
                                                      double tolerance);

}  // namespace velkan::select
