#include "common/gam_error.h"

namespace velkan {

namespace {

const char* variant_name(GamErrorKind kind) {
  switch (kind) {
    case GamErrorKind::DimensionMismatch: return "DimensionMismatch";
    case GamErrorKind::OptimizationFailed: return "OptimizationFailed";
    case GamErrorKind::SingularMatrix: return "SingularMatrix";
    case GamErrorKind::InvalidParameter: return "InvalidParameter";
    case GamErrorKind::LinAlgError: return "LinAlgError";
    case GamErrorKind::NotImplemented: return "NotImplemented";
  }
  return "Unknown";
}

const char* display_prefix(GamErrorKind kind) {
  switch (kind) {
    case GamErrorKind::DimensionMismatch: return "Matrix dimension mismatch: ";
    case GamErrorKind::OptimizationFailed: return "Optimization failed: ";
    case GamErrorKind::SingularMatrix: return "Singular matrix encountered";
    case GamErrorKind::InvalidParameter: return "Invalid parameter: ";
    case GamErrorKind::LinAlgError: return "Linear algebra error: ";
    case GamErrorKind::NotImplemented: return "Not implemented: ";
  }
  return "";
}

// Quotes a payload the way the debug rendering shows strings: backslash, double quote,
// and control characters are escaped (\n, \r, \t, \0, otherwise \u{hex}).
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default: {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (u >= 0x10) out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 0xf]);
          out.push_back('}');
        } else {
          out.push_back(c);
        }
      }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string GamError::display() const {
  if (kind_ == GamErrorKind::SingularMatrix) return display_prefix(kind_);
  return display_prefix(kind_) + message_;
}

std::string GamError::debug() const {
  if (kind_ == GamErrorKind::SingularMatrix) return variant_name(kind_);
  return std::string(variant_name(kind_)) + "(" + quoted(message_) + ")";
}

}  // namespace velkan
