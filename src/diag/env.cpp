#include "diag/env.h"

#include <cstdlib>

namespace velkan::diag {

const char* switch_variable(Switch s) {
  switch (s) {
    case Switch::Profile: return "VELKAN_PROFILE";
    case Switch::GradDebug: return "VELKAN_GRAD_DEBUG";
    case Switch::HessDebug: return "VELKAN_HESS_DEBUG";
    case Switch::TraceDebug: return "VELKAN_TRACE_DEBUG";
  }
  return "";
}

bool is_valid_utf8(const char* text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p) {
    const unsigned char c = *p;
    int extra;
    unsigned min_code;
    if (c < 0x80) {
      ++p;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      min_code = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      min_code = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      min_code = 0x10000;
    } else {
      return false;
    }
    unsigned code = c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not text.
    if (code < min_code || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

bool enabled(Switch s) {
  const char* value = std::getenv(switch_variable(s));
  return value != nullptr && is_valid_utf8(value);
}

}  // namespace velkan::diag
