// Diagnostic switches. A switch counts as set when its environment variable is present
// with a value that is valid UTF-8 text (the empty string included). It is looked up
// afresh each time, so a caller asks right before every governed line.
#pragma once

namespace velkan::diag {

enum class Switch {
  Profile,     // VELKAN_PROFILE: "[PROFILE]" lines
  GradDebug,   // VELKAN_GRAD_DEBUG: square roots, Z/QR, phi, block-wise and smoothing traces
  HessDebug,   // VELKAN_HESS_DEBUG: "[HESS_CORRECTED]" blocks
  TraceDebug,  // VELKAN_TRACE_DEBUG: "[TRACE_DEBUG]" line
};

const char* switch_variable(Switch s);
bool enabled(Switch s);

// True when `text` is well-formed UTF-8.
bool is_valid_utf8(const char* text);

}  // namespace velkan::diag
