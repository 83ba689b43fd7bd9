// Dense products. Small problems run as plain loops; from a few ten thousand
// multiply-adds on, the work goes to BLAS, which is several times faster. BLAS reads a
// view in place when one of its strides is 1 and the other a valid leading dimension;
// other views (negative or zero strides, gaps along both dimensions) are copied first.
// Row-major storage of M is column-major storage of M', which every call below uses
// rather than copying into another layout.
//
// The weighted cross products stream the design in row chunks: each chunk is scaled by
// sqrt(w) into a buffer of kCrossProductChunkRows x p doubles and added to the result
// with a symmetric rank-k update, so memory stays O(chunk * p) whatever n is.
#include "linalg/products.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "common/interrupt.h"
#include "linalg/lapack.h"

namespace velkan {

namespace {

using lapack::lapack_int;

bool fits(std::size_t n) { return n <= static_cast<std::size_t>(INT32_MAX); }

// How BLAS can read a view in place. row_major: the buffer is the column-major transpose
// (cols x rows) with leading dimension ld; otherwise it is the matrix itself, column-major.
struct BlasLayout {
  const double* data;
  lapack_int ld;
  bool row_major;
};

std::optional<BlasLayout> blas_layout(MatrixView v) {
  if (!fits(v.rows) || !fits(v.cols)) return std::nullopt;
  const auto rows = static_cast<std::ptrdiff_t>(v.rows);
  const auto cols = static_cast<std::ptrdiff_t>(v.cols);
  if (v.cols <= 1 || v.col_stride == 1) {
    // A single row never steps along its row stride; any valid leading dimension will do.
    const std::ptrdiff_t ld = v.rows <= 1 ? std::max<std::ptrdiff_t>(1, cols) : v.row_stride;
    if (ld >= std::max<std::ptrdiff_t>(1, cols) && ld <= INT32_MAX) {
      return BlasLayout{v.data, static_cast<lapack_int>(ld), true};
    }
  }
  if (v.rows <= 1 || v.row_stride == 1) {
    const std::ptrdiff_t ld = v.cols <= 1 ? std::max<std::ptrdiff_t>(1, rows) : v.col_stride;
    if (ld >= std::max<std::ptrdiff_t>(1, rows) && ld <= INT32_MAX) {
      return BlasLayout{v.data, static_cast<lapack_int>(ld), false};
    }
  }
  return std::nullopt;
}

// Rows [r0, r0 + len) of x as BLAS sees them: the caller's own memory when x has a
// BLAS-compatible layout, otherwise a row-major copy held in `copy`.
BlasLayout chunk_layout(MatrixView x, const std::optional<BlasLayout>& layout, std::size_t r0,
                        std::size_t len, Matrix& copy) {
  if (layout) {
    BlasLayout l = *layout;
    l.data += static_cast<std::ptrdiff_t>(r0) * (l.row_major ? x.row_stride : 1);
    return l;
  }
  const MatrixView rows{x.data + static_cast<std::ptrdiff_t>(r0) * x.row_stride, len, x.cols,
                        x.row_stride, x.col_stride};
  copy = Matrix::from(rows);
  return BlasLayout{copy.data(), static_cast<lapack_int>(x.cols), true};
}

// Copies `v` into `storage` when BLAS cannot read it in place; returns the layout to use.
BlasLayout blas_operand(MatrixView v, Matrix& storage) {
  if (auto layout = blas_layout(v)) return *layout;
  storage = Matrix::from(v);
  return *blas_layout(storage.view());
}

// Copies the upper triangle of the leading p x p block of the column-major buffer `c`
// (leading dimension ld) into both triangles of a row-major matrix, which is then exactly
// symmetric.
Matrix symmetric_from_upper(const std::vector<double>& c, std::size_t p, std::size_t ld) {
  Matrix out(p, p);
  for (std::size_t b = 0; b < p; ++b) {
    for (std::size_t a = 0; a <= b; ++a) {
      out(a, b) = c[a + b * ld];
      out(b, a) = c[a + b * ld];
    }
  }
  return out;
}

Matrix symmetric_from_upper(const std::vector<double>& c, std::size_t p) {
  return symmetric_from_upper(c, p, p);
}

// Adds rows r0 .. r0 + len - 1 of x, row i scaled by scale[i], to a symmetric rank-k
// update of the upper triangle of c (column-major, q x q). With ys (the scaled response
// of the same rows), q = p + 1 and each row is extended by ys[i]: the update of the
// extended rows [scale_i x_i, ys_i] holds X'WX in its leading p x p block and
// sum_i (scale_i x_i) ys_i = X'Wz in its last column, so one BLAS call forms both.
// Without ys, q = p. The extended rows go through `buf` (at least len * q doubles), which
// takes the layout in which the source is read along its shorter stride, so the copy
// streams through memory.
void add_scaled_rows(MatrixView x, std::size_t r0, std::size_t len, const double* scale,
                     const double* ys, std::vector<double>& buf, std::vector<double>& c) {
  const std::size_t p = x.cols;
  const std::size_t q = ys ? p + 1 : p;
  const auto qi = static_cast<lapack_int>(q);
  const auto leni = static_cast<lapack_int>(len);
  const double one = 1.0;
  const char upper = 'U';
  if (std::abs(x.col_stride) <= std::abs(x.row_stride)) {
    for (std::size_t i = 0; i < len; ++i) {
      const double s = scale[i];
      const double* src = x.data + static_cast<std::ptrdiff_t>(r0 + i) * x.row_stride;
      double* dst = buf.data() + i * q;
      if (x.col_stride == 1) {
        for (std::size_t j = 0; j < p; ++j) dst[j] = s * src[j];
      } else {
        for (std::size_t j = 0; j < p; ++j) {
          dst[j] = s * src[static_cast<std::ptrdiff_t>(j) * x.col_stride];
        }
      }
      if (ys) dst[p] = ys[i];
    }
    // Row-major len x q buffer = column-major q x len matrix of the extended rows.
    const char trans = 'N';
    lapack::scipy_dsyrk_(&upper, &trans, &qi, &leni, &one, buf.data(), &qi, &one, c.data(), &qi,
                         1, 1);
    return;
  }
  for (std::size_t j = 0; j < p; ++j) {
    const double* src = x.data + static_cast<std::ptrdiff_t>(j) * x.col_stride +
                        static_cast<std::ptrdiff_t>(r0) * x.row_stride;
    double* dst = buf.data() + j * len;
    if (x.row_stride == 1) {
      for (std::size_t i = 0; i < len; ++i) dst[i] = scale[i] * src[i];
    } else {
      for (std::size_t i = 0; i < len; ++i) {
        dst[i] = scale[i] * src[static_cast<std::ptrdiff_t>(i) * x.row_stride];
      }
    }
  }
  if (ys) std::copy_n(ys, len, buf.data() + p * len);
  // Column-major len x q buffer: C += B' B.
  const char trans = 'T';
  lapack::scipy_dsyrk_(&upper, &trans, &qi, &leni, &one, buf.data(), &leni, &one, c.data(), &qi,
                       1, 1);
}

// Rows per rank-k update of an unweighted X'X alone: large enough for BLAS to run at full
// speed, small enough that an interrupt is noticed within a fraction of a second.
constexpr std::size_t kGramChunkRows = std::size_t{1} << 16;

// Rows per chunk of the fused passes, which read each chunk of the design twice (two BLAS
// calls) and rely on it staying in cache in between: 2048 rows of 30 columns are 480 KiB.
constexpr std::size_t kFusedChunkRows = 2048;

// The weighted Gram matrix of a small design (or one too wide for BLAS) by plain loops:
// see weighted_gram().
Matrix weighted_gram_loops(MatrixView x, const VectorView* w, const VectorView* y, Vector* xty) {
  const std::size_t n = x.rows, p = x.cols;
  Matrix out(p, p);
  std::vector<double> z(p);
  for (std::size_t i = 0; i < n; ++i) {
    const double s = w ? std::sqrt((*w)[i]) : 1.0;
    for (std::size_t j = 0; j < p; ++j) z[j] = s * x(i, j);
    for (std::size_t a = 0; a < p; ++a) {
      const double za = z[a];
      double* row = out.row_ptr(a);
      for (std::size_t b = a; b < p; ++b) row[b] += za * z[b];
    }
    if (y) {
      const double sy = s * (*y)[i];
      for (std::size_t j = 0; j < p; ++j) (*xty)[j] += z[j] * sy;
    }
  }
  for (std::size_t a = 0; a < p; ++a) {
    for (std::size_t b = 0; b < a; ++b) out(a, b) = out(b, a);
  }
  return out;
}

// Rows of the (scaled) response per chunk buffer of the BLAS paths.
std::size_t response_buffer_rows(std::size_t n, const VectorView* y) {
  return y ? std::min(n, std::max(kCrossProductChunkRows, kFusedChunkRows)) : 0;
}

// The unweighted Gram matrix of a design BLAS reads in place (`layout`), without a copy:
// see weighted_gram().
Matrix gram_in_place(MatrixView x, const BlasLayout& layout, const VectorView* y, Vector* xty) {
  const std::size_t n = x.rows, p = x.cols;
  const auto pi = static_cast<lapack_int>(p);
  const double one = 1.0;
  const char upper = 'U';
  const lapack_int inc = 1;
  std::vector<double> c(p * p, 0.0);
  // The chunk's response, contiguous for BLAS.
  std::vector<double> ys(response_buffer_rows(n, y));
  // Alone, the update takes large chunks; fused with X'y, chunks small enough to stay in
  // cache for the second product.
  const std::size_t chunk = y ? kFusedChunkRows : kGramChunkRows;
  for (std::size_t r0 = 0; r0 < n; r0 += chunk) {
    if (stop_requested()) break;
    const std::size_t len = std::min(chunk, n - r0);
    const auto leni = static_cast<lapack_int>(len);
    if (y) {
      for (std::size_t i = 0; i < len; ++i) ys[i] = (*y)[r0 + i];
    }
    if (layout.row_major) {
      // The chunk is X_c' (p x len), column-major: C += X_c' (X_c')'.
      const double* ptr = layout.data + static_cast<std::ptrdiff_t>(r0) * x.row_stride;
      const char trans = 'N';
      lapack::scipy_dsyrk_(&upper, &trans, &pi, &leni, &one, ptr, &layout.ld, &one, c.data(),
                           &pi, 1, 1);
      if (y)
        lapack::scipy_dgemv_(&trans, &pi, &leni, &one, ptr, &layout.ld, ys.data(), &inc, &one,
                             xty->data(), &inc, 1);
    } else {
      const double* ptr = layout.data + static_cast<std::ptrdiff_t>(r0);
      const char trans = 'T';
      lapack::scipy_dsyrk_(&upper, &trans, &pi, &leni, &one, ptr, &layout.ld, &one, c.data(),
                           &pi, 1, 1);
      if (y)
        lapack::scipy_dgemv_(&trans, &leni, &pi, &one, ptr, &layout.ld, ys.data(), &inc, &one,
                             xty->data(), &inc, 1);
    }
  }
  return symmetric_from_upper(c, p);
}

// The weighted Gram matrix through scaled copies of the design, chunk by chunk, each row
// extended by its scaled response when there is one: see weighted_gram().
Matrix gram_of_scaled_chunks(MatrixView x, const VectorView* w, const VectorView* y,
                             Vector* xty) {
  const std::size_t n = x.rows, p = x.cols;
  const std::size_t q = y ? p + 1 : p;
  const std::size_t chunk = std::min(n, kCrossProductChunkRows);
  std::vector<double> ys(response_buffer_rows(n, y));
  std::vector<double> buf(chunk * q);
  std::vector<double> scale(chunk);
  std::vector<double> cq(q * q, 0.0);
  for (std::size_t r0 = 0; r0 < n; r0 += chunk) {
    if (stop_requested()) break;
    const std::size_t len = std::min(chunk, n - r0);
    for (std::size_t i = 0; i < len; ++i) scale[i] = w ? std::sqrt((*w)[r0 + i]) : 1.0;
    if (y) {
      for (std::size_t i = 0; i < len; ++i) ys[i] = scale[i] * (*y)[r0 + i];
    }
    add_scaled_rows(x, r0, len, scale.data(), y ? ys.data() : nullptr, buf, cq);
  }
  if (y) {
    for (std::size_t a = 0; a < p; ++a) (*xty)[a] = cq[a + p * q];
  }
  return symmetric_from_upper(cq, p, q);
}

// sum_i s_i^2 x_i x_i' with s_i = sqrt(w_i) (s_i = 1 without weights), for gram and X'WX.
// With `y`, also sum_i s_i^2 y_i x_i into *xty (length p, zero on entry): the chunk
// buffer that feeds the rank-k update feeds a matrix-vector product too, so the design is
// read once for both.
Matrix weighted_gram(MatrixView x, const VectorView* w, const VectorView* y = nullptr,
                     Vector* xty = nullptr) {
  const std::size_t n = x.rows, p = x.cols;
  if (p == 0 || n == 0) return Matrix(p, p);
  if (static_cast<double>(n) * static_cast<double>(p) * static_cast<double>(p) <
          static_cast<double>(kBlasMinMultiplyAdds) ||
      !fits(p))
    return weighted_gram_loops(x, w, y, xty);
  // Without weights a BLAS-readable design needs no copy at all.
  if (!w) {
    if (auto layout = blas_layout(x)) return gram_in_place(x, *layout, y, xty);
  }
  return gram_of_scaled_chunks(x, w, y, xty);
}

}  // namespace

Matrix matmul(MatrixView a, MatrixView b) {
  const std::size_t m = a.rows, k = a.cols, n = b.cols;
  Matrix c(m, n);
  if (m == 0 || n == 0 || k == 0) return c;

  const double work = static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
  if (work >= static_cast<double>(kBlasMinMultiplyAdds) && fits(m) && fits(n) && fits(k)) {
    Matrix a_copy, b_copy;
    const BlasLayout la = blas_operand(a, a_copy);
    const BlasLayout lb = blas_operand(b, b_copy);
    // Row-major C (m x n) is column-major C' (n x m): C' = B' A'. A row-major operand's
    // buffer already is its transpose ('N'); a column-major one needs 'T'.
    const char ta = lb.row_major ? 'N' : 'T';
    const char tb = la.row_major ? 'N' : 'T';
    const auto mi = static_cast<lapack_int>(n), ni = static_cast<lapack_int>(m),
               ki = static_cast<lapack_int>(k);
    const double one = 1.0, zero = 0.0;
    lapack::scipy_dgemm_(&ta, &tb, &mi, &ni, &ki, &one, lb.data, &lb.ld, la.data, &la.ld,
                         &zero, c.data(), &mi, 1, 1);
    return c;
  }

  for (std::size_t i = 0; i < m; ++i) {
    double* ci = c.row_ptr(i);
    for (std::size_t q = 0; q < k; ++q) {
      const double aiq = a(i, q);
      const VectorView bq = b.row(q);
      if (bq.stride == 1) {
        for (std::size_t j = 0; j < n; ++j) ci[j] += aiq * bq.data[j];
      } else {
        for (std::size_t j = 0; j < n; ++j) ci[j] += aiq * bq[j];
      }
    }
  }
  return c;
}

Vector matvec(MatrixView a, VectorView x) {
  Vector y(a.rows);
  matvec_into(a, x, std::span<double>(y.data(), y.size()));
  return y;
}

void matvec_into(MatrixView a, VectorView x, std::span<double> y) {
  const std::size_t m = a.rows, n = a.cols;
  if (m == 0) return;
  if (n == 0) {
    std::fill(y.begin(), y.end(), 0.0);
    return;
  }

  if (static_cast<double>(m) * static_cast<double>(n) >=
      static_cast<double>(kBlasMinMultiplyAdds)) {
    if (auto layout = blas_layout(a)) {
      Vector x_copy;
      const double* xp = x.data;
      if (x.stride != 1) {
        x_copy = Vector::from(x);
        xp = x_copy.data();
      }
      // Reused storage may hold anything: with beta = 0 BLAS need not read y, but some
      // versions scale it by zero, which keeps a NaN.
      std::fill(y.begin(), y.end(), 0.0);
      const double one = 1.0, zero = 0.0;
      const lapack_int inc = 1;
      const auto mi = static_cast<lapack_int>(m), ni = static_cast<lapack_int>(n);
      if (layout->row_major) {
        // The buffer is A' (n x m): y = (A')' x.
        const char trans = 'T';
        lapack::scipy_dgemv_(&trans, &ni, &mi, &one, layout->data, &layout->ld, xp, &inc,
                             &zero, y.data(), &inc, 1);
      } else {
        const char trans = 'N';
        lapack::scipy_dgemv_(&trans, &mi, &ni, &one, layout->data, &layout->ld, xp, &inc,
                             &zero, y.data(), &inc, 1);
      }
      return;
    }
  }

  for (std::size_t i = 0; i < m; ++i) y[i] = dot(a.row(i), x);
}

double dot(VectorView a, VectorView b) {
  // Unequal lengths are a caller's fault: no number is made up from part of the data.
  if (a.size != b.size) return std::numeric_limits<double>::quiet_NaN();
  const std::size_t n = a.size;
  if (a.stride == 1 && b.stride == 1) {
    // Four running sums let the compiler keep several multiply-adds in flight.
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      s0 += a.data[i] * b.data[i];
      s1 += a.data[i + 1] * b.data[i + 1];
      s2 += a.data[i + 2] * b.data[i + 2];
      s3 += a.data[i + 3] * b.data[i + 3];
    }
    for (; i < n; ++i) s0 += a.data[i] * b.data[i];
    return (s0 + s1) + (s2 + s3);
  }
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

Matrix gram(MatrixView a) { return weighted_gram(a, nullptr); }

Matrix compute_xtwx(MatrixView x, VectorView w) { return weighted_gram(x, &w); }

Vector compute_xtwy(MatrixView x, VectorView w, VectorView y) {
  const std::size_t n = x.rows, p = x.cols;
  Vector v(p);
  if (n == 0 || p == 0) return v;

  if (static_cast<double>(n) * static_cast<double>(p) <
          static_cast<double>(kBlasMinMultiplyAdds) ||
      !fits(p)) {
    // (sqrt(W) X)' (sqrt(W) y), row by row.
    for (std::size_t i = 0; i < n; ++i) {
      const double s = std::sqrt(w[i]);
      const double sy = s * y[i];
      for (std::size_t j = 0; j < p; ++j) v[j] += (s * x(i, j)) * sy;
    }
    return v;
  }

  // X' u with u = w * y, chunk by chunk; equal to the scaled form up to rounding. A
  // design BLAS cannot read in place is copied one chunk at a time.
  const auto layout = blas_layout(x);
  const std::size_t chunk = std::min(n, kCrossProductChunkRows);
  std::vector<double> u(chunk);
  Matrix copy;
  const double one = 1.0;
  const lapack_int inc = 1;
  const auto pi = static_cast<lapack_int>(p);
  for (std::size_t r0 = 0; r0 < n; r0 += chunk) {
    if (stop_requested()) break;
    const std::size_t len = std::min(chunk, n - r0);
    const auto leni = static_cast<lapack_int>(len);
    for (std::size_t i = 0; i < len; ++i) u[i] = w[r0 + i] * y[r0 + i];
    const BlasLayout l = chunk_layout(x, layout, r0, len, copy);
    if (l.row_major) {
      // The buffer is X_c' (p x len): v += X_c' u.
      const char trans = 'N';
      lapack::scipy_dgemv_(&trans, &pi, &leni, &one, l.data, &l.ld, u.data(), &inc, &one,
                           v.data(), &inc, 1);
    } else {
      const char trans = 'T';
      lapack::scipy_dgemv_(&trans, &leni, &pi, &one, l.data, &l.ld, u.data(), &inc, &one,
                           v.data(), &inc, 1);
    }
  }
  return v;
}

CrossProducts compute_xtwx_xtwy(MatrixView x, VectorView w, VectorView y) {
  CrossProducts out{Matrix(), Vector(x.cols)};
  out.xtwx = weighted_gram(x, &w, &y, &out.xtwy);
  return out;
}

CrossProducts compute_xtx_xty(MatrixView x, VectorView y) {
  CrossProducts out{Matrix(), Vector(x.cols)};
  out.xtwx = weighted_gram(x, nullptr, &y, &out.xtwy);
  return out;
}

CrossProducts compute_xtwx_xtwy_at(MatrixView x, VectorView beta, const ChunkWeigher& weigh) {
  const std::size_t n = x.rows, p = x.cols;
  CrossProducts out{Matrix(p, p), Vector(p)};
  if (n == 0) return out;
  Vector b = Vector::from(beta);  // contiguous for BLAS

  if (p == 0 || static_cast<double>(n) * static_cast<double>(p) * static_cast<double>(p) <
                    static_cast<double>(kBlasMinMultiplyAdds) ||
      !fits(p)) {
    // Small: every row at once, then the plain loops of the weighted cross products.
    Vector xb(n), w(n), z(n);
    for (std::size_t i = 0; i < n; ++i) xb[i] = dot(x.row(i), b.view());
    weigh(0, std::span<const double>(xb.data(), n), std::span<double>(w.data(), n),
          std::span<double>(z.data(), n));
    const VectorView wv = w.view(), zv = z.view();
    out.xtwx = weighted_gram(x, &wv, &zv, &out.xtwy);
    return out;
  }

  // Per chunk: X_c b read from memory, the weights and response of the chunk, then the
  // scaled copy and both products from rows that are still in cache.
  const auto layout = blas_layout(x);
  const std::size_t chunk = std::min(n, kCrossProductChunkRows);
  const std::size_t q = p + 1;  // rows extended by the scaled response
  std::vector<double> buf(chunk * q), xb(chunk), w(chunk), z(chunk), scale(chunk);
  std::vector<double> c(q * q, 0.0);
  const double one = 1.0, zero = 0.0;
  const lapack_int inc = 1;
  const auto pi = static_cast<lapack_int>(p);
  for (std::size_t r0 = 0; r0 < n; r0 += chunk) {
    if (stop_requested()) break;
    const std::size_t len = std::min(chunk, n - r0);
    const auto leni = static_cast<lapack_int>(len);
    if (layout) {
      const double* ptr =
          layout->data + static_cast<std::ptrdiff_t>(r0) * (layout->row_major ? x.row_stride : 1);
      // Row-major: the buffer is X_c' (p x len), so X_c b is its transpose times b.
      const char trans = layout->row_major ? 'T' : 'N';
      const lapack_int rows_i = layout->row_major ? pi : leni;
      const lapack_int cols_i = layout->row_major ? leni : pi;
      lapack::scipy_dgemv_(&trans, &rows_i, &cols_i, &one, ptr, &layout->ld, b.data(), &inc, &zero,
                           xb.data(), &inc, 1);
    } else {
      for (std::size_t i = 0; i < len; ++i) xb[i] = dot(x.row(r0 + i), b.view());
    }
    weigh(r0, std::span<const double>(xb.data(), len), std::span<double>(w.data(), len),
          std::span<double>(z.data(), len));
    for (std::size_t i = 0; i < len; ++i) {
      scale[i] = std::sqrt(w[i]);
      z[i] *= scale[i];
    }
    add_scaled_rows(x, r0, len, scale.data(), z.data(), buf, c);
  }
  out.xtwx = symmetric_from_upper(c, p, q);
  for (std::size_t a = 0; a < p; ++a) out.xtwy[a] = c[a + p * q];
  return out;
}

ResidualProducts compute_residual_products(MatrixView x, VectorView w, VectorView y,
                                           VectorView beta, std::span<double> xb) {
  const std::size_t n = x.rows, p = x.cols;
  ResidualProducts out{0.0, Vector(p)};
  if (n == 0) return out;
  Vector b = Vector::from(beta);  // contiguous for BLAS

  if (p == 0 || static_cast<double>(n) * static_cast<double>(p) <
                    static_cast<double>(kBlasMinMultiplyAdds) ||
      !fits(p)) {
    for (std::size_t i = 0; i < n; ++i) {
      const double u = dot(x.row(i), b.view());
      if (!xb.empty()) xb[i] = u;
      const double r = y[i] - u;
      const double wr = w[i] * r;
      out.rss += wr * r;
      for (std::size_t j = 0; j < p; ++j) out.xtwr[j] += x(i, j) * wr;
    }
    return out;
  }

  // Per chunk: u = X_c b, r = y_c - u, then X_c' (w r) while the chunk is still in cache.
  // A design BLAS cannot read in place is copied one chunk at a time.
  const auto layout = blas_layout(x);
  const std::size_t chunk = std::min(n, kFusedChunkRows);
  std::vector<double> u(chunk), r(chunk);
  Matrix copy;
  const double one = 1.0, zero = 0.0;
  const lapack_int inc = 1;
  const auto pi = static_cast<lapack_int>(p);
  for (std::size_t r0 = 0; r0 < n; r0 += chunk) {
    if (stop_requested()) break;
    const std::size_t len = std::min(chunk, n - r0);
    const auto leni = static_cast<lapack_int>(len);
    const BlasLayout l = chunk_layout(x, layout, r0, len, copy);
    // Row-major: the buffer is X_c' (p x len), so X_c b is 'T' and X_c' v is 'N'.
    const char fwd = l.row_major ? 'T' : 'N';
    const char back = l.row_major ? 'N' : 'T';
    const lapack_int rows_i = l.row_major ? pi : leni;
    const lapack_int cols_i = l.row_major ? leni : pi;
    std::fill(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(len), 0.0);
    lapack::scipy_dgemv_(&fwd, &rows_i, &cols_i, &one, l.data, &l.ld, b.data(), &inc, &zero,
                         u.data(), &inc, 1);
    if (!xb.empty()) std::copy_n(u.begin(), len, xb.begin() + static_cast<std::ptrdiff_t>(r0));
    for (std::size_t i = 0; i < len; ++i) {
      r[i] = y[r0 + i] - u[i];
      const double wr = w[r0 + i] * r[i];
      out.rss += wr * r[i];
      r[i] = wr;
    }
    lapack::scipy_dgemv_(&back, &rows_i, &cols_i, &one, l.data, &l.ld, r.data(), &inc, &one,
                         out.xtwr.data(), &inc, 1);
  }
  return out;
}

double quad_form(MatrixView s, VectorView beta) {
  double total = 0.0;
  for (std::size_t i = 0; i < s.rows; ++i) {
    total += beta[i] * dot(s.row(i), beta);
  }
  return total;
}

}  // namespace velkan
