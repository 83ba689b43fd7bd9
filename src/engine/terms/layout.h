// The model's terms and the design they define.
//
// A model is a list of terms (term_basis.h), each a block of design columns with zero or
// more penalties. Passes over the data evaluate the raw ("unconstrained") design,
// width() columns. Once the raw basis column sums over the training rows are known,
// `centred` gives the layout in which every centred term's contribution sums to zero over
// the training rows. The constraint is absorbed by reparameterising the term's block with
// a Householder reflection and dropping one column, so the fit works with coefficients()
// <= width() unconstrained coefficients and `constrain` / `expand` map between the two:
// cross products are formed unconstrained and constrained afterwards (O(p^2) per term),
// and fitted coefficients are expanded back so that prediction uses the raw design.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/gam_error.h"
#include "engine/terms/spec.h"
#include "engine/terms/term_basis.h"
#include "linalg/matrix.h"

namespace velkan::terms {

// Largest number of raw design columns of a model: its p x p cross products take 200 MB.
inline constexpr std::size_t kMaxModelWidth = 5000;

// Narrowest grouped term accumulated sparsely (passes) and eliminated block by block
// (the criterion): below it the dense algebra is as fast.
inline constexpr std::size_t kSparseMinWidth = 200;

// The model's sparse term: its raw columns [raw_offset, raw_offset + groups * group_width)
// and coefficients [offset, offset + groups * block), each row's non-zeros in one group.
struct SparseTerm {
  std::size_t term = 0;
  std::size_t raw_offset = 0, group_width = 0, groups = 0;
  std::size_t offset = 0, block = 0;  // in the constrained parameterisation
};

// Penalty `index` of term `term`.
struct PenaltyRef {
  std::size_t term;
  std::size_t index;
};

class ModelLayout {
 public:
  // Refused (InvalidParameter): no terms, any spec `make_term` refuses, a model wider than
  // kMaxModelWidth.
  static Result<ModelLayout> create(const std::vector<TermSpec>& specs);

  // This layout with every centred term centred on the training rows whose raw design
  // column sums are `column_sums` (width() values). Refused when a term's sums are not
  // finite or all zero.
  Result<ModelLayout> centred(VectorView column_sums) const;

  // This layout (centred as it is) with every term that has a training range held at the
  // ends of it (TermBasis::held_at_ends): the same coefficients predict without linear
  // extrapolation.
  ModelLayout held_at_ends() const;

  std::size_t term_count() const { return terms_.size(); }
  const TermBasis& term(std::size_t t) const { return *terms_[t]; }
  std::vector<TermSpec> specs() const;
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
  // input_columns() views of length >= first + count. Refused (InvalidParameter): an
  // input a term cannot represent (a factor code outside its levels).
  Status evaluate_rows(std::span<const VectorView> columns, std::size_t first,
                       std::size_t count, double* out, std::size_t stride) const;

  // The widest grouped term of at least kSparseMinWidth columns whose constraint (if any)
  // acts group by group, when there is one.
  const std::optional<SparseTerm>& sparse() const { return sparse_; }
  // Raw design columns other than the sparse term's.
  std::size_t dense_width() const { return width_ - (sparse_ ? sparse_->groups * sparse_->group_width : 0); }
  // As evaluate_rows, with the sparse term's columns left out of `dense` (dense_width()
  // columns per row) and given as each row's group and group_width() values instead.
  Status evaluate_split(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                        double* dense, std::size_t stride, std::size_t* group, double* values) const;

  const std::vector<PenaltyRef>& penalties() const { return penalties_; }
  // Penalty j over its term's raw block (width x width).
  Matrix penalty_matrix(std::size_t j) const;
  // Every penalty in the constrained parameterisation; with `compact`, block-diagonal
  // penalties of equal blocks stay one block with its repeat count.
  std::vector<PenaltyBlock> constrained_penalties(bool compact = false) const;
  // sum_j lambda_j |root_j beta_t|^2 over raw coefficients (width() values); in the
  // constrained parameterisation when centred.
  double penalty_quadratic(VectorView raw_beta, VectorView lambda) const;
  // log|S_lambda|_+ at rho = log lambda (one entry per penalty), exact for any spread of
  // the lambdas (each term's own, see TermBasis). Centring changes it by a constant only.
  LogDeterminant log_pseudo_determinant(VectorView rho) const;

  // Rows A of every term's shape constraint A beta >= 0 over the coefficients (constrained
  // parameterisation when centred): rows x coefficients(), empty when no term has one.
  Matrix shape_rows() const;

  // Z'AZ for a symmetric width() x width() matrix, Z'v for a vector, Z beta for
  // coefficients and Z V Z' for a coefficient covariance. Identities when not centred.
  Matrix constrain(const Matrix& a) const;
  Vector constrain(VectorView v) const;
  Vector expand(VectorView beta) const;
  Matrix expand(const Matrix& v) const;
  // The constrained design rows x'Z of `count` raw design rows (row i at raw + i * stride,
  // width() entries, overwritten), into out + i * out_stride (coefficients() entries).
  void constrain_rows(double* raw, std::size_t count, std::size_t stride, double* out,
                      std::size_t out_stride) const;

 private:
  void apply_reflections_to_rows(Matrix& a) const;
  void apply_reflections(double* x, std::ptrdiff_t stride) const;
  std::vector<std::size_t> kept_indices() const;

  std::vector<std::shared_ptr<const TermBasis>> terms_;
  std::vector<std::size_t> offsets_;
  std::vector<std::size_t> coefficient_offsets_;
  std::vector<PenaltyRef> penalties_;
  std::vector<TermConstraint> constraints_;  // one per term once centred
  std::optional<SparseTerm> sparse_;
  void set_sparse();
  std::size_t width_ = 0;
  std::size_t coefficients_ = 0;
  std::size_t input_columns_ = 0;
  bool centred_ = false;
};

}  // namespace velkan::terms
