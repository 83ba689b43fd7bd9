// The one output sink of the core. Every diagnostic and verbose line goes through here;
// no other file writes to standard output or reads the environment.
#pragma once

#include <initializer_list>
#include <string_view>

#include "diag/env.h"
#include "diag/format.h"

namespace velkan::diag {

// Where text goes. The default writes to the C stdout and flushes; the Python binding
// points it at sys.stdout so that redirection in Python sees the lines.
using Writer = void (*)(std::string_view text);
void set_writer(Writer writer);

// Writes `text` unconditionally (used for verbose narration that is not switch-governed).
void write(std::string_view text);

// Formats and writes `tmpl` when switch `s` is set at this moment. The template
// includes its own trailing newline.
inline void trace(Switch s, std::string_view tmpl, std::initializer_list<FormatArg> args = {}) {
  if (enabled(s)) write(format(tmpl, args));
}

// Formats and writes without a switch.
inline void print(std::string_view tmpl, std::initializer_list<FormatArg> args = {}) {
  write(format(tmpl, args));
}

}  // namespace velkan::diag
