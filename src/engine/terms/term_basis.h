// The one interface every kind of model term implements: given a block of rows of its
// input columns, write the term's design columns; give its penalties, their exact
// log-determinant and null space, and its identifiability constraint. Kinds are registered
// in one place (registry.cpp). A term may read any number of input columns and have any
// number of penalties; the passes and the criterion see only this interface.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/gam_error.h"
#include "engine/terms/spec.h"
#include "linalg/matrix.h"

namespace velkan::terms {

// Largest number of basis functions of one term (a tensor product counts the product of
// its margins' sizes; a factor-by smooth every level's).
inline constexpr std::size_t kMaxTermWidth = 4096;

// The level code of a grouping level not seen at fit time: random effects (and random
// curves) give it a zero row.
inline constexpr double kUnseenLevel = -1.0;

// log|S_lambda|_+ (the product of the non-zero eigenvalues of sum_j lambda_j S_j, up to a
// constant that does not depend on lambda) and its derivatives with respect to
// rho_j = log lambda_j.
struct LogDeterminant {
  double value = 0.0;
  Vector gradient;
  Matrix hessian;
};

// Where a penalty sits in its term's block: its b x b matrix covers `repeat` consecutive
// blocks starting at `offset` (a block-diagonal penalty with equal blocks).
struct PenaltyPlacement {
  std::size_t offset = 0;
  std::size_t repeat = 1;
};

// A penalty in a constrained parameterisation: `matrix` covers coefficients
// [offset, offset + matrix.rows()), and root' root = matrix.
struct PenaltyBlock {
  std::size_t offset;
  Matrix matrix;
  Matrix root;
  // The matrix repeats on this many consecutive blocks (a block-diagonal penalty kept
  // compact; ModelLayout::constrained_penalties expands it unless asked not to).
  std::size_t repeat = 1;
};

// The group of a row that has no non-zero column in a grouped term (evaluate_grouped).
inline constexpr std::size_t kNoGroup = static_cast<std::size_t>(-1);

// One Householder reflection I - beta v v' applied to each of the sub-vectors
// x[start + i * stride], i < v.size(), of a term's block, one per entry of `starts`.
struct Reflection {
  Vector v;
  double beta = 0.0;
  std::vector<std::size_t> starts;
  std::size_t stride = 1;
};

// A term's identifiability constraint: the coefficients of its raw block are Q beta~ with
// Q the product of the reflections (they commute: each acts on its own axis or block) and
// beta~ zero at the `dropped` positions. Empty: the term is unconstrained. `margin_penalty`
// holds whatever penalties of the constrained margins a term needs for its own
// log-determinant (interaction-only tensors).
struct TermConstraint {
  std::vector<Reflection> reflections;
  std::vector<bool> dropped;  // width() entries, or empty for none
  std::vector<Vector> margin_eigenvalues;
  std::size_t dropped_count() const;
  bool empty() const { return reflections.empty(); }
};

class TermBasis {
 public:
  virtual ~TermBasis() = default;

  // The spec the term was built from (what a model file stores).
  const TermSpec& spec() const { return spec_; }
  std::span<const std::size_t> columns() const { return spec_.columns; }

  // Raw design columns of the term.
  virtual std::size_t width() const = 0;

  // Writes the term's width() design columns for rows [first, first + count) of the input
  // columns: row i to out + i * stride. `columns` holds every input column of the model
  // (the term reads those of columns()), each of length >= first + count. A NaN input
  // gives NaN columns. Refused (InvalidParameter): an input the term cannot represent (a
  // factor code outside its levels).
  virtual Status evaluate(std::span<const VectorView> columns, std::size_t first,
                          std::size_t count, double* out, std::size_t stride) const = 0;

  // Penalties over the term's raw block, each a b x b matrix placed by
  // penalty_placement(j), with a square root (root' root = penalty; rows: its rank).
  // Quadratic forms are computed as |root beta|^2, which stays accurate where beta'S beta
  // would cancel.
  virtual std::size_t penalty_count() const { return 0; }
  virtual Matrix penalty(std::size_t j) const;
  virtual Matrix penalty_root(std::size_t j) const;
  virtual PenaltyPlacement penalty_placement(std::size_t) const { return {}; }
  // Adds log|sum_j lambda_j S_j|_+ of this term's penalties at rho (rho[first + j] for its
  // penalty j) to out.value, and its derivatives to out.gradient / out.hessian at the same
  // positions. Exact for any spread of the lambdas.
  virtual void add_log_determinant(VectorView rho, std::size_t first, LogDeterminant& out) const;
  // Dimension of the null space of all its penalties together, over the raw block.
  virtual std::size_t null_space_dimension() const = 0;
  // Whether the term is centred (its contribution summed over the training rows is zero).
  virtual bool centred() const { return false; }
  // A richer basis of the same input columns, for checking whether this one is large
  // enough: it resolves finer detail over the same range (nested within it where the kind
  // allows), so that structure left in the residuals along these columns shows in it.
  // None for a term with no basis size to check (parametric terms).
  virtual std::optional<TermSpec> richer() const { return std::nullopt; }
  // A copy of the term whose value outside the training range of its inputs is its value
  // at the nearer end of that range (same spec, columns and penalties); null when the term
  // has no such range or is to be extrapolated as it is (the default).
  virtual std::shared_ptr<const TermBasis> held_at_ends() const { return nullptr; }

  // The constraint given the raw design column sums of the term's block over the
  // training rows (width() values): by default one reflection that removes the direction
  // of the sums when centred(), nothing otherwise. Refused when sums are needed and are
  // all zero or not finite.
  virtual Result<TermConstraint> constraint(VectorView block_sums) const;
  // The penalties in the constrained parameterisation (offsets relative to the term's
  // constrained block), their log-determinant and joint null space. The defaults carry
  // the raw penalties through the constraint and take the raw log-determinant, which the
  // constraint changes by a constant only for a single reflection.
  virtual std::vector<PenaltyBlock> constrained_penalties(const TermConstraint& c) const;
  virtual void add_constrained_log_determinant(const TermConstraint& c, VectorView rho,
                                               std::size_t first, LogDeterminant& out) const;
  virtual std::size_t constrained_null_space_dimension(const TermConstraint& c) const;
  // Grouped terms (random effects, factors, factor-by smooths): every row's non-zero
  // columns lie within one group of group_width() consecutive columns. 0: not grouped.
  virtual std::size_t group_width() const { return 0; }
  // For rows [first, first + count): the group of row i in group[i] (kNoGroup for a zero
  // row) and its group_width() values at values + i * group_width(). Refused as evaluate.
  virtual Status evaluate_grouped(std::span<const VectorView> columns, std::size_t first,
                                  std::size_t count, std::size_t* group, double* values) const;

  // Rows A (over the raw block) of a shape constraint A beta >= 0 the fit must keep; empty
  // for none.
  virtual Matrix shape_rows() const { return {}; }

  // Binned inputs. A term that can be fitted on binned columns returns true from
  // binnable(): its design row is then the Kronecker product of one row per input column
  // (columns()[0] outermost), each a function of that column's value alone, and
  // margin_rows(m, values) gives the rows of column m at `values` (values.size x that
  // row's length; the lengths multiply to width()). A binned pass evaluates such a term
  // once per bin instead of once per row. Kinds whose rows do not factor so keep the
  // default, and the binned pass evaluates them row by row from the raw columns.
  virtual bool binnable() const { return false; }
  virtual Matrix margin_rows(std::size_t m, VectorView values) const;
  // A kind whose rows do not factor but are smooth functions of its columns' values may
  // still be tabulated whole: tabulable() true lets a binned pass evaluate it once at every
  // combination of its columns' bin values (when those are few) instead of once per row.
  virtual bool tabulable() const { return false; }

 protected:
  explicit TermBasis(TermSpec spec) : spec_(std::move(spec)) {}

 private:
  TermSpec spec_;
};

// x <- (I - beta v v') x over v.size() entries read with the given stride.
void reflect(const Vector& v, double beta, double* x, std::ptrdiff_t stride);
// Applies every reflection of c to a term block read from x with stride `stride`.
void apply_constraint(const TermConstraint& c, double* x, std::ptrdiff_t stride);
// The reflection that maps `sums` onto a multiple of e_0 (its later columns span the
// directions orthogonal to the sums). Refused when the sums are all zero or not finite.
Result<Reflection> centring_reflection(VectorView sums, std::string_view what);
// The eigenvalues of a symmetric penalty, with its `null` smallest set to exactly zero.
Result<Vector> penalty_eigenvalues(const Matrix& s, std::size_t null);

}  // namespace velkan::terms
