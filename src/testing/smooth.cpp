// The spline bases and their penalties, the formula parser and the smooth setup.
#include <optional>

#include "testing/bind.h"
#include "velkan_core/smooth/bspline.h"
#include "velkan_core/smooth/cubic_regression_spline.h"
#include "velkan_core/smooth/formula.h"
#include "velkan_core/smooth/penalty.h"
#include "velkan_core/smooth/setup.h"

namespace velkan::testing {
namespace {

// {"name", "column", "kind", "num_basis", "width", "knots", "penalty"}; with points,
// "values" and, for a B-spline, "full_knots".
nb::dict summary(const SmoothTerm& t, const std::optional<VectorView>& points) {
  const auto* bs = dynamic_cast<const BSplineBasis*>(t.basis.get());
  nb::dict d;
  d["name"] = t.name;
  d["column"] = t.column;
  d["kind"] = bs ? "bs" : "cr";
  d["num_basis"] = t.basis->num_basis();
  d["width"] = t.width();
  d["knots"] = Vector::from(t.basis->knots());
  d["penalty"] = t.penalty;
  if (!points) return d;
  d["values"] = unwrap(t.basis->evaluate(*points));
  d["full_knots"] =
      bs ? nb::cast(Vector(std::vector<double>(bs->full_knots().begin(), bs->full_knots().end())))
         : nb::none();
  return d;
}

nb::dict term(Result<SmoothTerm> t, const std::optional<VectorView>& points) {
  return summary(unwrap(std::move(t)), points);
}

// (message or None, [summary, ...]) of a setup that started from a list holding one
// earlier term named "old".
template <class Setup>
nb::tuple setup_outcome(Setup setup) {
  std::vector<SmoothTerm> terms;
  if (auto old = new_cr_smooth("old", 4, 0.0, 1.0)) terms.push_back(std::move(*old));
  const ModelResult<void> r = setup(terms);
  std::optional<std::string> message;
  if (!r) {
    const auto* usage = std::get_if<UsageError>(&r.error());
    message = usage ? usage->message : std::get<GamError>(r.error()).display();
  }
  nb::list list;
  for (const SmoothTerm& t : terms) list.append(summary(t, std::nullopt));
  return nb::make_tuple(message, list);
}

}  // namespace

void bind_smooth(nb::module_& m) {
  const auto points = nb::arg("points") = nb::none();
  m.def("smooth_penalty", released([](std::string type, std::size_t k, VectorView knots) {
          return compute_penalty_matrix(type, k, knots);
        }));
  m.def(
      "smooth_cr_term",
      [](std::size_t k, double lo, double hi, std::optional<VectorView> at) {
        return term(new_cr_smooth("cr", k, lo, hi), at);
      },
      nb::arg("k"), nb::arg("lo"), nb::arg("hi"), points);
  m.def(
      "smooth_bs_term",
      [](std::size_t k, VectorView data, std::optional<VectorView> at) {
        return term(new_bs_smooth("bs", k, data), at);
      },
      nb::arg("k"), nb::arg("data"), points);
  m.def(
      "smooth_bs_even_term",
      [](std::size_t k, double lo, double hi, std::optional<VectorView> at) {
        return term(new_bs_smooth_even_knots("bs", k, lo, hi), at);
      },
      nb::arg("k"), nb::arg("lo"), nb::arg("hi"), points);
  m.def(
      "smooth_bs_knots_term",
      [](std::size_t k, Vector knots, std::optional<VectorView> at) {
        return term(new_bs_smooth_from_knots("bs", k, std::move(knots)), at);
      },
      nb::arg("k"), nb::arg("knots"), points);
  // [(column, k), ...]
  m.def("smooth_parse_formula", [](const std::string& formula) {
    std::vector<std::tuple<std::size_t, std::size_t>> out;
    for (const FormulaTerm& t : unwrap(parse_formula(formula))) out.emplace_back(t.column, t.k);
    return out;
  });
  m.def("smooth_auto_setup", [](MatrixView x, std::vector<std::size_t> k,
                                const std::string& basis) {
    return setup_outcome([&](std::vector<SmoothTerm>& t) { return auto_setup(t, x, k, basis); });
  });
  m.def("smooth_formula_setup", [](MatrixView x, const std::string& formula) {
    return setup_outcome([&](std::vector<SmoothTerm>& t) -> ModelResult<void> {
      auto parsed = parse_formula(formula);
      if (!parsed) return std::unexpected(parsed.error());
      return formula_setup(t, x, *parsed);
    });
  });
}

}  // namespace velkan::testing
