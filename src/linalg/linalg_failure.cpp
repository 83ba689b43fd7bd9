#include "linalg/linalg_failure.h"

#include <string>

namespace velkan {

LinalgFailure LinalgFailure::not_square(std::int64_t r, std::int64_t c) {
  LinalgFailure f;
  f.kind = Kind::NotSquare;
  f.rows = r;
  f.cols = c;
  return f;
}

LinalgFailure LinalgFailure::lapack_info(std::int32_t info) {
  LinalgFailure f;
  f.kind = Kind::Lapack;
  f.lapack = info < 0 ? LapackKind::InvalidValue : LapackKind::ComputationalFailure;
  f.return_code = info;
  return f;
}

LinalgFailure LinalgFailure::invalid_shape() {
  LinalgFailure f;
  f.kind = Kind::Lapack;
  f.lapack = LapackKind::InvalidShape;
  return f;
}

std::string LinalgFailure::debug() const {
  using std::to_string;
  switch (kind) {
    case Kind::NotSquare:
      return "NotSquare { rows: " + to_string(rows) + ", cols: " + to_string(cols) + " }";
    case Kind::Lapack:
      switch (lapack) {
        case LapackKind::InvalidValue:
          return "Lapack(LapackInvalidValue { return_code: " + to_string(return_code) + " })";
        case LapackKind::ComputationalFailure:
          return "Lapack(LapackComputationalFailure { return_code: " + to_string(return_code) +
                 " })";
        case LapackKind::InvalidShape:
          return "Lapack(InvalidShape)";
      }
      break;
    case Kind::NotStandardShape:
      return "NotStandardShape { obj: " + to_string(obj) + ", rows: " + to_string(rows) +
             ", cols: " + to_string(cols) + " }";
  }
  // Only reachable with an enumerator value outside the declared ones.
  return "Unknown";
}

}  // namespace velkan
