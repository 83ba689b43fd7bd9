// The one interface every kind of model term implements: given a block of rows of its
// input columns, write the term's design columns; give its penalties, their exact
// log-determinant and null space, and whether it is centred. Kinds are registered in one
// place (registry.cpp). A term may read any number of input columns and have any number
// of penalties; the passes and the criterion see only this interface.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>

#include "common/gam_error.h"
#include "engine/terms/spec.h"
#include "linalg/matrix.h"

namespace velkan::terms {

// Largest number of basis functions of one term (a tensor product counts the product of
// its margins' sizes).
inline constexpr std::size_t kMaxTermWidth = 4096;

// log|S_lambda|_+ (the product of the non-zero eigenvalues of sum_j lambda_j S_j, up to a
// constant that does not depend on lambda) and its derivatives with respect to
// rho_j = log lambda_j.
struct LogDeterminant {
  double value = 0.0;
  Vector gradient;
  Matrix hessian;
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

  // Penalties over the term's raw block (width x width), each with a square root
  // (root' root = penalty; rows: the penalty's rank). Quadratic forms are computed as
  // |root beta|^2, which stays accurate where beta'S beta would cancel.
  virtual std::size_t penalty_count() const { return 0; }
  virtual Matrix penalty(std::size_t j) const;
  virtual Matrix penalty_root(std::size_t j) const;
  // Adds log|sum_j lambda_j S_j|_+ of this term's penalties at rho (rho[first + j] for its
  // penalty j) to out.value, and its derivatives to out.gradient / out.hessian at the same
  // positions. Exact for any spread of the lambdas.
  virtual void add_log_determinant(VectorView rho, std::size_t first, LogDeterminant& out) const;
  // Dimension of the null space of all its penalties together, over the raw block.
  virtual std::size_t null_space_dimension() const = 0;
  // Whether the term is centred (its contribution summed over the training rows is zero),
  // which removes one raw column's worth of freedom.
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

  // Binned inputs. A term that can be fitted on binned columns returns true from
  // binnable(): its design row is then the Kronecker product of one row per input column
  // (columns()[0] outermost), each a function of that column's value alone, and
  // margin_rows(m, values) gives the rows of column m at `values` (values.size x that
  // row's length; the lengths multiply to width()). A binned pass evaluates such a term
  // once per bin instead of once per row. Kinds whose rows do not factor so keep the
  // default, and the binned pass evaluates them row by row from the raw columns.
  virtual bool binnable() const { return false; }
  virtual Matrix margin_rows(std::size_t m, VectorView values) const;

 protected:
  explicit TermBasis(TermSpec spec) : spec_(std::move(spec)) {}

 private:
  TermSpec spec_;
};

}  // namespace velkan::terms
