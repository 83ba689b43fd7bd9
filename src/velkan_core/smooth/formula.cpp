#include "velkan_core/smooth/formula.h"

#include <cstdint>
#include <limits>
#include <string>

namespace velkan {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits at every occurrence of `sep`; n separators give n + 1 pieces (empty ones kept).
std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == sep) {
      out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

// Digits 0-9 only, at least one, no overflow of 64 bits. No sign, no spaces, no point.
bool parse_unsigned(std::string_view s, std::size_t& out) {
  if (s.empty()) return false;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (value > std::numeric_limits<std::size_t>::max()) return false;
  out = static_cast<std::size_t>(value);
  return true;
}

std::string quoted(std::string_view before, std::string_view text, std::string_view after) {
  std::string m(before);
  m += '\'';
  m += text;
  m += '\'';
  m += after;
  return m;
}

}  // namespace

ModelResult<std::vector<FormulaTerm>> parse_formula(std::string_view formula) {
  std::vector<FormulaTerm> terms;
  for (std::string_view raw : split(formula, '+')) {
    const std::string_view piece = trim(raw);
    auto invalid_term = [&] {
      return fail_usage(
          quoted("Invalid smooth term: ", piece, ". Expected format: s(col, k=value)"));
    };
    if (piece.size() < 2 || !piece.starts_with("s(") || !piece.ends_with(")")) {
      return invalid_term();
    }
    // Both marks present and distinct, so the piece has at least three characters.
    const std::string_view inside = piece.substr(2, piece.size() - 3);
    const std::vector<std::string_view> parts = split(inside, ',');
    if (parts.size() != 2) return invalid_term();

    const std::string_view column_text = trim(parts[0]);
    FormulaTerm term;
    if (!parse_unsigned(column_text, term.column)) {
      return fail_usage(quoted("Invalid column index: ", column_text, ""));
    }

    const std::string_view spec = trim(parts[1]);
    if (!spec.starts_with("k=") && !spec.starts_with("k =")) {
      return fail_usage(
          quoted("Invalid k specification: ", spec, ". Expected format: k=value"));
    }
    // After the first '=' and up to a second one: "k=5=6" reads as k = 5.
    std::string_view value = spec.substr(spec.find('=') + 1);
    if (const auto next = value.find('='); next != std::string_view::npos) {
      value = value.substr(0, next);
    }
    value = trim(value);
    if (!parse_unsigned(value, term.k)) {
      return fail_usage(quoted("Invalid k value: ", value, ""));
    }
    terms.push_back(term);
  }
  return terms;
}

}  // namespace velkan
