// Dense storage for the core: owned row-major `Matrix` and `Vector`, and non-owning,
// read-only strided views. Strides are counted in elements (the binding converts NumPy's
// byte strides once). A view never outlives the call that received it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace velkan {

struct VectorView {
  const double* data = nullptr;
  std::size_t size = 0;
  std::ptrdiff_t stride = 1;

  double operator[](std::size_t i) const {
    return data[static_cast<std::ptrdiff_t>(i) * stride];
  }
};

struct MatrixView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // elements between (i, j) and (i + 1, j)
  std::ptrdiff_t col_stride = 1;  // elements between (i, j) and (i, j + 1)

  double operator()(std::size_t i, std::size_t j) const {
    return data[static_cast<std::ptrdiff_t>(i) * row_stride +
                static_cast<std::ptrdiff_t>(j) * col_stride];
  }
  // The transpose of a view is the same memory with its strides swapped.
  MatrixView transposed() const { return {data, cols, rows, col_stride, row_stride}; }
  VectorView row(std::size_t i) const {
    return {data + static_cast<std::ptrdiff_t>(i) * row_stride, cols, col_stride};
  }
  VectorView col(std::size_t j) const {
    return {data + static_cast<std::ptrdiff_t>(j) * col_stride, rows, row_stride};
  }
  // Dense column-major layout.
  bool is_col_major() const {
    return (rows <= 1 || row_stride == 1) &&
           (cols <= 1 || col_stride == static_cast<std::ptrdiff_t>(rows));
  }
};

class Vector {
 public:
  Vector() = default;
  explicit Vector(std::size_t n, double value = 0.0) : d_(n, value) {}
  Vector(std::initializer_list<double> values) : d_(values) {}
  explicit Vector(std::vector<double> values) : d_(std::move(values)) {}
  static Vector from(VectorView v);

  std::size_t size() const { return d_.size(); }
  bool empty() const { return d_.empty(); }
  double* data() { return d_.data(); }
  const double* data() const { return d_.data(); }
  double& operator[](std::size_t i) { return d_[i]; }
  double operator[](std::size_t i) const { return d_[i]; }
  auto begin() { return d_.begin(); }
  auto end() { return d_.end(); }
  auto begin() const { return d_.begin(); }
  auto end() const { return d_.end(); }

  VectorView view() const { return {d_.data(), d_.size(), 1}; }
  operator VectorView() const { return view(); }
  std::span<const double> span() const { return d_; }
  std::span<double> span() { return d_; }
  const std::vector<double>& std() const { return d_; }

  bool operator==(const Vector&) const = default;

 private:
  std::vector<double> d_;
};

// An allocator whose value-initialisation leaves doubles uninitialised (construction with a
// value is unchanged), so that a matrix about to be overwritten entirely is not first
// zeroed: for a design of gigabytes that zeroing is seconds of work no interrupt can stop.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class Matrix {
 public:
  Matrix() = default;
  Matrix(std::size_t rows, std::size_t cols, double value = 0.0)
      : rows_(rows), cols_(cols), d_(rows * cols, value) {}
  static Matrix from(MatrixView v);
  static Matrix identity(std::size_t n);
  // rows x cols with unspecified entries: for a caller that writes every entry before any
  // is read (the design matrix, filled row block by row block).
  static Matrix uninitialised(std::size_t rows, std::size_t cols) {
    Matrix m;
    m.rows_ = rows;
    m.cols_ = cols;
    m.d_.resize(rows * cols);
    return m;
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t size() const { return d_.size(); }
  bool square() const { return rows_ == cols_; }
  double* data() { return d_.data(); }
  const double* data() const { return d_.data(); }

  double& operator()(std::size_t i, std::size_t j) { return d_[i * cols_ + j]; }
  double operator()(std::size_t i, std::size_t j) const { return d_[i * cols_ + j]; }
  double* row_ptr(std::size_t i) { return d_.data() + i * cols_; }
  const double* row_ptr(std::size_t i) const { return d_.data() + i * cols_; }

  MatrixView view() const {
    return {d_.data(), rows_, cols_, static_cast<std::ptrdiff_t>(cols_), 1};
  }
  operator MatrixView() const { return view(); }
  MatrixView t() const { return view().transposed(); }
  VectorView row(std::size_t i) const { return view().row(i); }
  VectorView col(std::size_t j) const { return view().col(j); }

  // Elementwise arithmetic (shapes must agree; the caller guarantees it).
  Matrix& operator+=(const Matrix& o);
  Matrix& operator-=(const Matrix& o);
  Matrix& operator*=(double s);
  // this += s * o
  void add_scaled(const Matrix& o, double s);

  bool operator==(const Matrix&) const = default;

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<double, UninitialisedAllocator<double>> d_;
};

Matrix operator+(Matrix a, const Matrix& b);
Matrix operator-(Matrix a, const Matrix& b);
Matrix operator*(Matrix a, double s);

}  // namespace velkan
