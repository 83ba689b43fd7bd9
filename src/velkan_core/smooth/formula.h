// The formula grammar: smooth terms "s(col, k=value)" joined by '+'.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "common/gam_error.h"

namespace velkan {

// One parsed term: a B-spline smooth of input column `column` with `k` basis functions.
struct FormulaTerm {
  std::size_t column = 0;
  std::size_t k = 0;
  bool operator==(const FormulaTerm&) const = default;
};

// Parses `formula` into its terms, in formula order. Pure: touches no model.
//
// Grammar: the formula is split at every '+' (no escaping) and each piece trimmed of
// surrounding whitespace; then, piece by piece from the left, the first failure decides:
//   - a piece not of the form "s(" ... ")" (at least two characters), or whose inside
//     does not split at ',' into exactly two parts:
//       "Invalid smooth term: '{piece}'. Expected format: s(col, k=value)"
//   - first part (trimmed) not an unsigned decimal integer of digits 0-9 fitting 64 bits:
//       "Invalid column index: '{part}'"
//   - second part (trimmed) not starting with "k=" or "k =" (exactly one space):
//       "Invalid k specification: '{part}'. Expected format: k=value"
//   - the text after the first '=', up to a second '=' if any, trimmed, not an unsigned
//     integer as above: "Invalid k value: '{value}'"
// An empty or all-blank formula is one empty piece. All errors are UsageError (shown to
// the user verbatim). Column and k are not range-checked here: formula_setup checks the
// column against the data, the smooth constructor checks k.
ModelResult<std::vector<FormulaTerm>> parse_formula(std::string_view formula);

}  // namespace velkan
