// The one error type of the numerical core, and the result alias every fallible
// operation returns. Errors are values: nothing in the core throws or prints them.
#pragma once

#include <expected>
#include <string>
#include <utility>
#include <variant>

namespace velkan {

// Variant order is part of the contract (it is the tag users may see in diagnostics).
enum class GamErrorKind {
  DimensionMismatch = 0,
  OptimizationFailed = 1,
  SingularMatrix = 2,
  InvalidParameter = 3,
  LinAlgError = 4,
  NotImplemented = 5,
};

class GamError {
 public:
  GamError(GamErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  static GamError dimension_mismatch(std::string m) {
    return {GamErrorKind::DimensionMismatch, std::move(m)};
  }
  static GamError optimization_failed(std::string m) {
    return {GamErrorKind::OptimizationFailed, std::move(m)};
  }
  static GamError singular_matrix() { return {GamErrorKind::SingularMatrix, {}}; }
  static GamError invalid_parameter(std::string m) {
    return {GamErrorKind::InvalidParameter, std::move(m)};
  }
  static GamError linalg_error(std::string m) { return {GamErrorKind::LinAlgError, std::move(m)}; }
  static GamError not_implemented(std::string m) {
    return {GamErrorKind::NotImplemented, std::move(m)};
  }

  GamErrorKind kind() const { return kind_; }
  // The payload; empty for SingularMatrix.
  const std::string& message() const { return message_; }

  // The text a Python user sees, e.g. "Matrix dimension mismatch: X has 3 rows ...".
  std::string display() const;
  // Diagnostic rendering: DimensionMismatch("...") or the bare SingularMatrix.
  std::string debug() const;

  bool operator==(const GamError&) const = default;

 private:
  GamErrorKind kind_;
  std::string message_;
};

template <class T>
using Result = std::expected<T, GamError>;
using Status = std::expected<void, GamError>;

inline std::unexpected<GamError> fail(GamError e) { return std::unexpected(std::move(e)); }

// A validation failure owned by the model interface (setup, formula, method name):
// its text reaches the user verbatim, without a GamError variant prefix.
struct UsageError {
  std::string message;
  bool operator==(const UsageError&) const = default;
};

// What a model-level operation (smooth setup, fit) can fail with.
using ModelError = std::variant<GamError, UsageError>;
template <class T>
using ModelResult = std::expected<T, ModelError>;

inline std::unexpected<ModelError> fail_usage(std::string m) {
  return std::unexpected(ModelError{UsageError{std::move(m)}});
}
inline std::unexpected<ModelError> fail_model(GamError e) {
  return std::unexpected(ModelError{std::move(e)});
}

}  // namespace velkan
