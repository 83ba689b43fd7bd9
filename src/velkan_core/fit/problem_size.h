// Memory guards for the sizes a request implies. Each is checked before anything of that
// size is allocated, so that a request the machine cannot hold fails with an error value
// instead of exhausting memory (an allocation failure deep inside, or the process killed by
// the operating system when overcommitted pages are touched).
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"

namespace velkan {

// Vectors of n elements a fit holds besides its n x p design: the response and its working
// copies, weights, linear predictor, fitted means and their scaled forms.
inline constexpr std::size_t kWorkColumns = 8;
// p x p matrices a fit or a REML derivative holds besides its m embedded penalties: the
// penalized normal matrix with its ridge, factors and inverses, the square-root rows stacked
// under the design and the derivative terms (about a dozen measured at the peak).
inline constexpr std::size_t kWorkMatricesPxP = 12;

// InvalidParameter unless n x (p + kWorkColumns) elements fit within max_matrix_elements():
// the design of n rows and p coefficients with the fit's n-vectors (also what a prediction
// at n rows needs).
Status check_design_size(std::size_t n, std::size_t p);

// InvalidParameter unless m + kWorkMatricesPxP matrices of p x p fit within twice
// max_matrix_elements() (two thirds of usable memory: these are the whole working set
// when p is large).
Status check_penalty_size(std::size_t p, std::size_t m);

// Both of the above, for a problem of n rows, p coefficients and m penalties.
Status check_problem_size(std::size_t n, std::size_t p, std::size_t m);

// check_problem_size for one smooth per entry of `k` (k[j] basis functions each, all on n
// rows). Sizes above kMaxBasisFunctions pass: the smooth constructors refuse them with a
// message naming the size, before allocating.
Status check_smooth_sizes(std::size_t n, std::span<const std::size_t> k);

}  // namespace velkan
