// The model's design matrix and scaled penalties, built once per fit from the smooth
// terms: block j is smooth j's basis evaluated on its own input column, the blocks side by
// side without an intercept column.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "velkan_core/smooth/spline_basis.h"

namespace velkan {

// A penalty whose infinity norm is not above this keeps scale 1.
inline constexpr double kPenaltyNormFloor = 1e-10;
// Rows of the design filled at a time (every block of them before the next rows), so that
// the block norms are taken from rows still in cache.
inline constexpr std::size_t kDesignChunkRows = 1024;

struct ModelDesign {
  Matrix x;                          // n x p
  std::vector<std::size_t> offsets;  // first column of each block
  std::vector<std::size_t> widths;   // block widths p_j
  std::vector<double> block_norms;   // infinity norm of each evaluated block
};

// Evaluates every term on its column of `x` and places
// the blocks side by side. Errors: a basis evaluation error; DimensionMismatch when a term's
// column does not exist in `x` or a block has the wrong shape; InvalidParameter when the
// n x p design could not fit in memory (checked before allocating).
Result<ModelDesign> build_design(std::span<const SmoothTerm> terms, MatrixView x);

// One p x p matrix per smooth: c_j times the leading p_j x p_j block of its penalty in the
// diagonal block of smooth j, c_j = norm(B_j)^2 / norm(S_j) (infinity norms) when
// norm(S_j) > 1e-10, else 1.
std::vector<Matrix> scaled_penalties(std::span<const SmoothTerm> terms, const ModelDesign& design,
                                     std::vector<double>* scales = nullptr);

// Largest number of doubles a single dense matrix may hold: a third of the memory the
// process can use, the smaller of physical memory and its control group's limit (a fit
// keeps the design, a weighted copy in blocks and the inputs).
std::size_t max_matrix_elements();

}  // namespace velkan
