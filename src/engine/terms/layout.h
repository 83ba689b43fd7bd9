// The model's terms and the design they define.
//
// A model is a list of terms, each a block of design columns with zero or more
// penalties: the intercept (one column of ones), a linear term (one input column as it
// is), a factor (one indicator column per level but the first, the reference), and a
// smooth (one marginal basis, or several for a tensor product, whose design row is the
// Kronecker product of the margins' rows and whose penalties are S_m on margin m and
// identities on the others, one smoothing parameter each).
//
// Passes over the data evaluate the raw ("unconstrained") design, width() columns. Once
// the raw basis column sums over the training rows are known, `centred` gives the layout
// in which every smooth is centred: its contribution sums to zero over the training rows.
// The constraint is absorbed by reparameterising the smooth's block with a Householder
// reflection and dropping one column, so the fit works with coefficients() <= width()
// unconstrained coefficients and `constrain` / `expand` map between the two: cross
// products are formed unconstrained and constrained afterwards (O(p^2) per term), and
// fitted coefficients are expanded back so that prediction uses the raw design.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "engine/terms/marginal_basis.h"

namespace velkan::terms {

// Largest number of raw design columns of a model: its p x p cross products take 200 MB.
inline constexpr std::size_t kMaxModelWidth = 5000;

enum class TermKind { Intercept, Linear, Factor, Smooth };

struct Term {
  TermKind kind = TermKind::Intercept;
  // Input columns read: one for a linear term or a factor, one per margin for a smooth.
  std::vector<std::size_t> columns;
  std::vector<MarginalBasis> margins;  // smooth only
  // Factor: codes 0 .. levels - 1 stored as doubles; code 0 is the reference level.
  std::size_t levels = 0;
  // Linear: subtracted from the input, so that the column is not nearly collinear with
  // the intercept when its values sit far from zero (the slope is unchanged).
  double center = 0.0;

  std::size_t width() const;
};

// Penalty `margin` of smooth term `term`.
struct PenaltyRef {
  std::size_t term;
  std::size_t margin;
};

// A penalty in the constrained parameterisation: `matrix` covers coefficients
// [offset, offset + matrix.rows()), and root' root = matrix.
struct PenaltyBlock {
  std::size_t offset;
  Matrix matrix;
  Matrix root;
};

// log|S_lambda|_+ (the product of the non-zero eigenvalues of sum_j lambda_j S_j, up to a
// constant that does not depend on lambda) and its derivatives with respect to
// rho_j = log lambda_j.
struct LogDeterminant {
  double value = 0.0;
  Vector gradient;
  Matrix hessian;
};

class ModelLayout {
 public:
  // Refused (InvalidParameter): no terms, a linear term or factor reading other than one
  // column, a smooth whose margins and columns disagree in number, a factor with fewer
  // than two levels, a term wider than kMaxTermWidth or a model wider than kMaxModelWidth.
  static Result<ModelLayout> create(std::vector<Term> terms);

  // This layout with every smooth term centred on the training rows whose raw design
  // column sums are `column_sums` (width() values). Refused when a smooth's sums are not
  // finite or all zero.
  Result<ModelLayout> centred(VectorView column_sums) const;

  const std::vector<Term>& terms() const { return terms_; }
  std::size_t width() const { return width_; }
  std::size_t coefficients() const { return coefficients_; }
  bool is_centred() const { return centred_; }
  // Start of term t's block among the raw design columns / the coefficients.
  std::size_t offset(std::size_t t) const { return offsets_[t]; }
  std::size_t coefficient_offset(std::size_t t) const { return coefficient_offsets_[t]; }
  std::size_t coefficient_width(std::size_t t) const;
  // One more than the largest input column index any term reads.
  std::size_t input_columns() const { return input_columns_; }
  // Dimension of the unpenalized coefficient space (the null space of every penalty
  // together), in the constrained parameterisation.
  std::size_t null_space_dimension() const;

  // Raw design rows for rows [first, first + count) of the input columns: row i is written
  // to out + i * stride (stride >= width()), every entry of it. `columns` holds at least
  // input_columns() views of length >= first + count. Refused (InvalidParameter): a factor
  // code that is not one of 0 .. levels - 1.
  Status evaluate_rows(std::span<const VectorView> columns, std::size_t first,
                       std::size_t count, double* out, std::size_t stride) const;

  const std::vector<PenaltyRef>& penalties() const { return penalties_; }
  // Penalty j over its term's raw block (width x width), and a square root of it
  // (root' root = penalty; rows: the penalty's rank).
  Matrix penalty_matrix(std::size_t j) const;
  Matrix penalty_root(std::size_t j) const;
  // Every penalty in the constrained parameterisation.
  std::vector<PenaltyBlock> constrained_penalties() const;
  // sum_j lambda_j |root_j beta_t|^2 over raw coefficients (width() values).
  double penalty_quadratic(VectorView raw_beta, VectorView lambda) const;
  // log|S_lambda|_+ at rho = log lambda (one entry per penalty). Computed from the
  // margins' penalty eigenvalues, so it is exact for any spread of the lambdas: the
  // eigenvalues of sum_m lambda_m (I x .. S_m .. x I) are the sums lambda_1 e_1i + ...
  // over all combinations. Centring changes it by a constant only.
  LogDeterminant log_pseudo_determinant(VectorView rho) const;

  // Z'AZ for a symmetric width() x width() matrix, Z'v for a vector, Z beta for
  // coefficients and Z V Z' for a coefficient covariance. Identities when not centred.
  Matrix constrain(const Matrix& a) const;
  Vector constrain(VectorView v) const;
  Vector expand(VectorView beta) const;
  Matrix expand(const Matrix& v) const;

 private:
  struct Reflection {
    std::size_t term;
    Vector v;     // Householder vector over the term's block
    double beta;  // 2 / v'v
  };

  void apply_reflections_to_rows(Matrix& a) const;
  void apply_reflections(double* x, std::ptrdiff_t stride) const;
  std::vector<std::size_t> kept_indices() const;

  std::vector<Term> terms_;
  std::vector<std::size_t> offsets_;
  std::vector<std::size_t> coefficient_offsets_;
  std::vector<PenaltyRef> penalties_;
  std::vector<Reflection> reflections_;
  std::size_t width_ = 0;
  std::size_t coefficients_ = 0;
  std::size_t input_columns_ = 0;
  bool centred_ = false;
};

}  // namespace velkan::terms
