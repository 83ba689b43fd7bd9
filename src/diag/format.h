// Number and text formatting for diagnostic lines.
//
// Templates use brace placeholders:
//   {}        integers in decimal; doubles in the shortest form that reads back to the
//             same value, laid out without an exponent (1.0 -> "1", 1e-7 -> "0.0000001");
//             bools as true/false; vectors as "[a, b, c]" with each element as {}.
//   {:.N}     fixed point with N decimals.
//   {:.Ne}    exponent form with N mantissa decimals: 1.23e3, 4.50e-7 (no '+', no padding);
//             {:e} uses the shortest mantissa that reads back to the same value.
//   Integers given a precision or an exponent mark are formatted as doubles.
//   {:>W...}  / {:W...}  right-aligned in a field of W characters ({:<W...} left-aligned).
// inf, -inf and NaN print as such in every form. "{{" and "}}" are literal braces.
// Widths and precisions above 1000 are taken as 1000.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velkan::diag {

// Shortest round-trip digits in fixed notation.
std::string format_shortest(double v);
// Fixed notation with `decimals` digits after the point.
std::string format_fixed(double v, int decimals);
// Exponent notation with `decimals` mantissa digits, exponent without '+' or leading zeros.
std::string format_exp(double v, int decimals);
// Exponent notation with the shortest round-trip mantissa (the bare {:e} form).
std::string format_exp_shortest(double v);

// One argument of a template. Holds a borrowed view for strings and vectors; it must not
// outlive the call to format().
class FormatArg {
 public:
  FormatArg(double v) : kind_(Kind::Float), f_(v) {}
  FormatArg(float v) : kind_(Kind::Float), f_(v) {}
  FormatArg(bool v) : kind_(Kind::Bool), b_(v) {}
  FormatArg(int v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(long v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(long long v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(const char* s) : kind_(Kind::Text), s_(s) {}
  FormatArg(std::string_view s) : kind_(Kind::Text), s_(s) {}
  FormatArg(const std::string& s) : kind_(Kind::Text), s_(s) {}
  FormatArg(std::span<const double> v) : kind_(Kind::Vec), v_(v) {}
  FormatArg(std::span<double> v) : kind_(Kind::Vec), v_(v) {}
  FormatArg(const std::vector<double>& v) : kind_(Kind::Vec), v_(v) {}

  // Renders this argument for a parsed spec (precision < 0 means "not given").
  std::string render(int precision, bool exponent) const;

 private:
  enum class Kind { Float, Bool, Signed, Unsigned, Text, Vec };
  Kind kind_;
  double f_ = 0;
  bool b_ = false;
  long long i_ = 0;
  unsigned long long u_ = 0;
  std::string_view s_;
  std::span<const double> v_;
};

// Fills the placeholders of `tmpl` in order. Surplus placeholders render as "{?}".
std::string format(std::string_view tmpl, std::initializer_list<FormatArg> args);
// The same with the arguments listed directly: format("{} of {}", i, n).
template <class... Args>
  requires(sizeof...(Args) > 0)
std::string format(std::string_view tmpl, const Args&... args) {
  return format(tmpl, {FormatArg(args)...});
}

}  // namespace velkan::diag
