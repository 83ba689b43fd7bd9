#include "diag/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace velkan::diag {

namespace {

// Widths and precisions in a template are clamped here, so a malformed template cannot
// ask for an absurd buffer.
constexpr int kMaxFieldNumber = 1000;

// inf, -inf and NaN share one spelling in every number form.
bool render_non_finite(double v, std::string& out) {
  if (std::isnan(v)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(v)) {
    out = v > 0 ? "inf" : "-inf";
    return true;
  }
  return false;
}

}  // namespace

std::string format_shortest(double v) {
  std::string out;
  if (render_non_finite(v, out)) return out;
  // Shortest round-trip digits come from to_chars in scientific form ("d.ddde[+-]x");
  // they are then laid out in fixed notation. Formatting with chars_format::fixed would
  // print the exact binary value's digits for large numbers instead.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  bool negative = false;
  if (!sci.empty() && sci.front() == '-') {
    negative = true;
    sci.remove_prefix(1);
  }
  const std::size_t epos = sci.find('e');
  std::string mantissa(sci.substr(0, epos));
  const int exp10 = std::atoi(std::string(sci.substr(epos + 1)).c_str());
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits.push_back(c);
  // digits = d0 d1 d2 ..., value = 0.d0d1d2... * 10^(exp10 + 1)
  const int point = exp10 + 1;  // position of the decimal point within digits
  std::string body;
  if (point <= 0) {
    body = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    body = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    body = digits.substr(0, static_cast<std::size_t>(point)) + "." +
           digits.substr(static_cast<std::size_t>(point));
  }
  return negative ? "-" + body : body;
}

std::string format_fixed(double v, int decimals) {
  std::string out;
  if (render_non_finite(v, out)) return out;
  if (decimals < 0) decimals = 0;
  // Sign, up to 309 integer digits, the point and the decimals always fit.
  out.resize(static_cast<std::size_t>(decimals) + 320);
  auto res = std::to_chars(out.data(), out.data() + out.size(), v, std::chars_format::fixed,
                           decimals);
  out.resize(static_cast<std::size_t>(res.ptr - out.data()));
  return out;
}

namespace {

// Rewrites to_chars' exponent ("1.23e+03", "4.50e-07") into the diagnostic form
// ("1.23e3", "4.50e-7"): no '+', no leading zeros in the exponent.
std::string tidy_exponent(std::string_view s) {
  const std::size_t epos = s.find('e');
  std::string out(s.substr(0, epos));
  std::string_view exp = s.substr(epos + 1);
  out.push_back('e');
  if (!exp.empty() && (exp.front() == '+' || exp.front() == '-')) {
    if (exp.front() == '-') out.push_back('-');
    exp.remove_prefix(1);
  }
  const std::size_t nz = exp.find_first_not_of('0');
  out += nz == std::string_view::npos ? std::string_view("0") : exp.substr(nz);
  return out;
}

}  // namespace

std::string format_exp(double v, int decimals) {
  std::string out;
  if (render_non_finite(v, out)) return out;
  if (decimals < 0) decimals = 0;
  // Sign, one digit, the point, the decimals and "e-324" always fit.
  std::string buf(static_cast<std::size_t>(decimals) + 16, '\0');
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::scientific,
                           decimals);
  return tidy_exponent(std::string_view(buf.data(), static_cast<std::size_t>(res.ptr - buf.data())));
}

std::string format_exp_shortest(double v) {
  std::string out;
  if (render_non_finite(v, out)) return out;
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  return tidy_exponent(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}

std::string FormatArg::render(int precision, bool exponent) const {
  switch (kind_) {
    case Kind::Float:
      if (exponent) return precision < 0 ? format_exp_shortest(f_) : format_exp(f_, precision);
      if (precision >= 0) return format_fixed(f_, precision);
      return format_shortest(f_);
    case Kind::Bool:
      return b_ ? "true" : "false";
    case Kind::Signed:
      if (exponent || precision >= 0) return FormatArg(static_cast<double>(i_)).render(precision, exponent);
      return std::to_string(i_);
    case Kind::Unsigned:
      if (exponent || precision >= 0) return FormatArg(static_cast<double>(u_)).render(precision, exponent);
      return std::to_string(u_);
    case Kind::Text:
      return std::string(s_);
    case Kind::Vec: {
      std::string out = "[";
      for (std::size_t i = 0; i < v_.size(); ++i) {
        if (i) out += ", ";
        out += FormatArg(v_[i]).render(precision, exponent);
      }
      return out + "]";
    }
  }
  return {};
}

std::string format(std::string_view tmpl, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(tmpl.size() + 16 * args.size());
  auto next = args.begin();
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    const char c = tmpl[i];
    if (c == '}' && i + 1 < tmpl.size() && tmpl[i + 1] == '}') {
      out.push_back('}');
      ++i;
      continue;
    }
    if (c != '{') {
      out.push_back(c);
      continue;
    }
    if (i + 1 < tmpl.size() && tmpl[i + 1] == '{') {
      out.push_back('{');
      ++i;
      continue;
    }
    const std::size_t close = tmpl.find('}', i);
    if (close == std::string_view::npos) {
      out.append(tmpl.substr(i));
      break;
    }
    std::string_view field = tmpl.substr(i + 1, close - i - 1);
    i = close;
    char align = '>';
    std::size_t width = 0;
    int precision = -1;
    bool exponent = false;
    if (!field.empty() && field.front() == ':') {
      field.remove_prefix(1);
      if (!field.empty() && (field.front() == '<' || field.front() == '>' || field.front() == '^')) {
        align = field.front();
        field.remove_prefix(1);
      }
      while (!field.empty() && field.front() >= '0' && field.front() <= '9') {
        width = std::min<std::size_t>(width * 10 + static_cast<std::size_t>(field.front() - '0'),
                                      kMaxFieldNumber);
        field.remove_prefix(1);
      }
      if (!field.empty() && field.front() == '.') {
        field.remove_prefix(1);
        precision = 0;
        while (!field.empty() && field.front() >= '0' && field.front() <= '9') {
          precision = std::min(precision * 10 + (field.front() - '0'), kMaxFieldNumber);
          field.remove_prefix(1);
        }
      }
      if (!field.empty() && field.front() == 'e') exponent = true;
    }
    std::string text = next == args.end() ? std::string("{?}") : (next++)->render(precision, exponent);
    if (text.size() < width) {
      const std::size_t pad = width - text.size();
      if (align == '<') {
        text.append(pad, ' ');
      } else if (align == '^') {
        text = std::string(pad / 2, ' ') + text + std::string(pad - pad / 2, ' ');
      } else {
        text.insert(0, pad, ' ');
      }
    }
    out += text;
  }
  return out;
}

}  // namespace velkan::diag
