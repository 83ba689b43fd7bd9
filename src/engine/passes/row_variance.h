// Row-wise fitted values and their variances for new rows: for each row x (the raw design
// row) and a block of its columns [first_column, first_column + q),
//
//   fit_i = x_B' beta_B,      variance_i = x_B' V x_B,
//
// with beta_B the block's coefficients and V (q x q) their covariance. The whole model
// (first_column 0, q = width()) gives the linear predictor and its variance; one term's
// block gives its partial effect.
//
// The design is evaluated a block of rows at a time and V is applied to the block by one
// matrix product (BLAS), then each row is dotted with its product row: O(n q^2) work and,
// beyond the outputs, O(threads * block * (width + q)) memory, never n x q.
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "engine/terms/layout.h"

namespace velkan::passes {

// Rows evaluated at a time.
inline constexpr std::size_t kVarianceBlockRows = 1024;

// `columns` are the layout's input columns (every one of fit.size() rows); beta has q
// entries and cov is q x q (any strides), q = beta.size. fit and variance receive one value
// per row; a variance that rounding would make negative is returned as 0. Refused: inputs
// of unequal lengths or too few columns, a block outside the design, shapes that disagree
// (DimensionMismatch), a factor code outside its levels (InvalidParameter); an interrupt.
Status row_variance(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                    std::size_t first_column, VectorView beta, MatrixView cov,
                    std::span<double> fit, std::span<double> variance, std::size_t threads = 1);

}  // namespace velkan::passes
