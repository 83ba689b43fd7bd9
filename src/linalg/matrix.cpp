#include "linalg/matrix.h"

namespace velkan {

Vector Vector::from(VectorView v) {
  Vector out(v.size);
  for (std::size_t i = 0; i < v.size; ++i) out[i] = v[i];
  return out;
}

Matrix Matrix::from(MatrixView v) {
  Matrix m(v.rows, v.cols);
  for (std::size_t i = 0; i < v.rows; ++i) {
    double* dst = m.row_ptr(i);
    for (std::size_t j = 0; j < v.cols; ++j) dst[j] = v(i, j);
  }
  return m;
}

Matrix Matrix::identity(std::size_t n) {
  Matrix m(n, n);
  for (std::size_t i = 0; i < n; ++i) m(i, i) = 1.0;
  return m;
}

Matrix& Matrix::operator+=(const Matrix& o) {
  for (std::size_t k = 0; k < d_.size(); ++k) d_[k] += o.d_[k];
  return *this;
}

Matrix& Matrix::operator-=(const Matrix& o) {
  for (std::size_t k = 0; k < d_.size(); ++k) d_[k] -= o.d_[k];
  return *this;
}

Matrix& Matrix::operator*=(double s) {
  for (double& v : d_) v *= s;
  return *this;
}

void Matrix::add_scaled(const Matrix& o, double s) {
  for (std::size_t k = 0; k < d_.size(); ++k) d_[k] += s * o.d_[k];
}

Matrix operator+(Matrix a, const Matrix& b) { return a += b; }
Matrix operator-(Matrix a, const Matrix& b) { return a -= b; }
Matrix operator*(Matrix a, double s) { return a *= s; }

}  // namespace velkan
