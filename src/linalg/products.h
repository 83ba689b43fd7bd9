// Dense products and the weighted cross products. Results are newly owned row-major values.
// The passes over the data (the cross products and residual sums, chunk by chunk) stop
// early when an interrupt is requested (common/interrupt.h): their value is then
// incomplete, and the caller's next poll_interrupt() fails before it can be used.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

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
// The same product written into `y` (length a.rows), so that storage can be reused.
void matvec_into(MatrixView a, VectorView x, std::span<double> y);
// a'b; NaN when the lengths differ (an internal error: every caller passes equal lengths,
// and a NaN fails every finiteness test downstream instead of passing as a partial sum).
double dot(VectorView a, VectorView b);

// A'A (p x p, exactly symmetric).
Matrix gram(MatrixView a);

// X'WX from the row-scaled copy sqrt(W) X, never from an n x n weight matrix.
// Weights are assumed non-negative. The result is exactly symmetric.
Matrix compute_xtwx(MatrixView x, VectorView w);
// X'Wy = (sqrt(W) X)' (sqrt(W) y).
Vector compute_xtwy(MatrixView x, VectorView w, VectorView y);

// X'WX and X'Wy together, from one pass over the design: each chunk of rows is read once
// (scaled by sqrt(w) into the chunk buffer) and serves both products. Equal to
// compute_xtwx and compute_xtwy up to rounding; X'WX is exactly symmetric.
struct CrossProducts {
  Matrix xtwx;  // p x p
  Vector xtwy;  // p
};
CrossProducts compute_xtwx_xtwy(MatrixView x, VectorView w, VectorView y);
// The same with unit weights, X'X and X'y, reading the design in place (no scaled copy)
// wherever BLAS can read it.
CrossProducts compute_xtx_xty(MatrixView x, VectorView y);

// X'WX and X'Wz at weights and a response that depend on X beta, from one pass over the
// design: for each chunk of rows, X_c beta is formed and handed to `weigh` (with the
// index of the chunk's first row), which writes the chunk's weights (non-negative) and
// response; the chunk then enters both products while it is still in cache. This is one
// read of the design where forming X beta and then X'WX would take two. Equal to
// compute_xtwx_xtwy(x, w, z) for the w and z `weigh` produces, up to rounding.
using ChunkWeigher = std::function<void(std::size_t first, std::span<const double> xb,
                                        std::span<double> w, std::span<double> z)>;
CrossProducts compute_xtwx_xtwy_at(MatrixView x, VectorView beta, const ChunkWeigher& weigh);

// The weighted residual sums at coefficients beta, r = y - X beta:
//   rss = sum_i w_i r_i^2   and   xtwr = X'W r,
// from one pass over the design in row chunks: the residuals of a chunk are formed and
// used while the chunk is in cache, and no vector of length n is allocated. When `xb` is
// given (length n), X beta is written there too.
struct ResidualProducts {
  double rss = 0.0;
  Vector xtwr;  // p
};
ResidualProducts compute_residual_products(MatrixView x, VectorView w, VectorView y,
                                           VectorView beta, std::span<double> xb = {});

// beta' S beta.
double quad_form(MatrixView s, VectorView beta);

}  // namespace velkan
