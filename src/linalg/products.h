// Dense products and the weighted cross products. Results are newly owned row-major values.
#pragma once

#include "linalg/matrix.h"

namespace velkan {

// The ordinary dense products; inner dimensions must agree (the caller guarantees it).
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
