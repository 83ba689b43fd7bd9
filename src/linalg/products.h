// Dense products and the weighted cross products. Results are newly owned row-major values.
#pragma once

#include <cstddef>

#include "linalg/matrix.h"

namespace velkan {

// Products with fewer multiply-adds than this run as plain loops; larger ones go to BLAS.
inline constexpr std::size_t kBlasMinMultiplyAdds = 32768;
// Rows of the design scaled and handed to BLAS at a time by the weighted cross products;
// their working memory is this many rows of the design, whatever its length.
inline constexpr std::size_t kCrossProductChunkRows = 4096;

// The ordinary dense products; inner dimensions must agree (the caller guarantees it).
// Every input may be a view with any strides, negative ones included.
Matrix matmul(MatrixView a, MatrixView b);
Vector matvec(MatrixView a, VectorView x);
double dot(VectorView a, VectorView b);

// A'A (p x p, exactly symmetric).
Matrix gram(MatrixView a);

// X'WX from the row-scaled copy sqrt(W) X, never from an n x n weight matrix.
// Weights are assumed non-negative. The result is exactly symmetric.
Matrix compute_xtwx(MatrixView x, VectorView w);
// X'Wy = (sqrt(W) X)' (sqrt(W) y).
Vector compute_xtwy(MatrixView x, VectorView w, VectorView y);

// beta' S beta.
double quad_form(MatrixView s, VectorView beta);

}  // namespace velkan
