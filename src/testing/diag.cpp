#include <optional>
#include <string>
#include <vector>

#include "diag/env.h"
#include "diag/format.h"
#include "testing/bind.h"

namespace velkan::testing {
namespace {

// The argument of a template for one Python value: a bool, an int (negative ones signed,
// the rest over the full unsigned 64-bit range), a float, a str, or a sequence of floats.
// Strings and sequences are kept in `texts` / `vectors`, which the argument borrows.
diag::FormatArg format_arg(nb::handle v, std::vector<std::string>& texts,
                           std::vector<std::vector<double>>& vectors) {
  if (nb::isinstance<nb::bool_>(v)) return diag::FormatArg(nb::cast<bool>(v));
  if (nb::isinstance<nb::int_>(v)) {
    int overflow = 0;
    const long long s = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow == 0 && s < 0) return diag::FormatArg(s);
    return diag::FormatArg(nb::cast<unsigned long long>(v));
  }
  if (nb::isinstance<nb::float_>(v)) return diag::FormatArg(nb::cast<double>(v));
  if (nb::isinstance<nb::str>(v))
    return diag::FormatArg(std::string_view(texts.emplace_back(nb::cast<std::string>(v))));
  return diag::FormatArg(
      std::span<const double>(vectors.emplace_back(nb::cast<std::vector<double>>(v))));
}

// format(template, values) for at most four values.
std::string format_template(const std::string& tmpl, const nb::list& values) {
  if (values.size() > 4) throw nb::value_error("a list of at most 4");
  std::vector<std::string> texts;
  std::vector<std::vector<double>> vectors;
  texts.reserve(4), vectors.reserve(4);  // the arguments point into them
  std::vector<diag::FormatArg> a;
  for (nb::handle v : values) a.push_back(format_arg(v, texts, vectors));
  switch (a.size()) {
    case 0:
      return diag::format(tmpl, {});
    case 1:
      return diag::format(tmpl, {a[0]});
    case 2:
      return diag::format(tmpl, {a[0], a[1]});
    case 3:
      return diag::format(tmpl, {a[0], a[1], a[2]});
    default:
      return diag::format(tmpl, {a[0], a[1], a[2], a[3]});
  }
}

}  // namespace

void bind_diag(nb::module_& m) {
  // kind "shortest", "fixed" or "exp".
  m.def(
      "format_number",
      [](const std::string& kind, double value, std::optional<std::size_t> precision) {
        const int p = static_cast<int>(precision.value_or(0));
        if (kind == "shortest") return diag::format_shortest(value);
        if (kind == "fixed") return diag::format_fixed(value, p);
        if (kind == "exp") return diag::format_exp(value, p);
        throw nb::value_error("unknown kind");
      },
      nb::arg("kind"), nb::arg("value"), nb::arg("precision") = nb::none());
  m.def("format_template", format_template);
  // name "profile", "grad", "hess" or "trace".
  m.def("switch_enabled", [](const std::string& name) {
    using diag::Switch;
    if (name == "profile") return diag::enabled(Switch::Profile);
    if (name == "grad") return diag::enabled(Switch::GradDebug);
    if (name == "hess") return diag::enabled(Switch::HessDebug);
    if (name == "trace") return diag::enabled(Switch::TraceDebug);
    throw nb::value_error("unknown switch");
  });
}

}  // namespace velkan::testing
