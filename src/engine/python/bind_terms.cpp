// Term specs, the marginal basis kinds, knot placement and the model layout.
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>

#include <string>

#include "engine/python/bindings.h"
#include "engine/python/convert.h"
#include "engine/terms/layout.h"
#include "engine/terms/marginal_basis.h"
#include "engine/terms/registry.h"
#include "engine/terms/thin_plate.h"

namespace velkan::engine {

using namespace nb::literals;
using terms::MarginSpec;
using terms::ModelLayout;
using terms::TermSpec;

namespace {

using MarginState = std::tuple<std::string, std::size_t, std::vector<double>>;

MarginSpec make_margin(const std::string& basis, std::size_t k, const Array1& knots) {
  return MarginSpec{basis, k, to_vector(knots)};
}

MarginState margin_state(const MarginSpec& m) {
  return {m.basis, m.k, std::vector<double>(m.knots.data(), m.knots.data() + m.knots.size())};
}

MarginSpec margin_from_state(const MarginState& s) {
  const auto& knots = std::get<2>(s);
  Vector v(knots.size());
  for (std::size_t i = 0; i < knots.size(); ++i) v[i] = knots[i];
  return MarginSpec{std::get<0>(s), std::get<1>(s), std::move(v)};
}

// A spec's state: the five fields of the first version, then a dict of the later ones
// (absent from pickles of that version, which therefore still load).
nb::tuple term_state(const TermSpec& t) {
  std::vector<MarginState> margins;
  for (const auto& m : t.margins) margins.push_back(margin_state(m));
  nb::dict extra;
  extra["by"] = t.by;
  extra["interaction_only"] = t.interaction_only;
  extra["select"] = t.select;
  extra["constraint"] = t.constraint;
  extra["k"] = t.k;
  extra["points"] = to_numpy(t.points);
  extra["transform"] = to_numpy(t.transform);
  extra["penalty_values"] = to_numpy(t.penalty_values);
  extra["standardise"] = to_numpy(t.standardise);
  extra["box"] = to_numpy(t.box);
  return nb::make_tuple(t.kind, t.columns, margins, t.levels, t.center, extra);
}

Matrix matrix_or_empty(nb::handle h) {
  const auto a = nb::cast<Array2>(h);
  return a.size() == 0 ? Matrix(a.shape(0), a.shape(1)) : to_matrix(a);
}

TermSpec term_from_state(const nb::tuple& s) {
  if (s.size() != 5 && s.size() != 6) throw nb::value_error("malformed term spec state");
  TermSpec t{nb::cast<std::string>(s[0]), nb::cast<std::vector<std::size_t>>(s[1]), {},
             nb::cast<std::size_t>(s[3]), nb::cast<double>(s[4])};
  for (const auto& m : nb::cast<std::vector<MarginState>>(s[2])) t.margins.push_back(margin_from_state(m));
  if (s.size() == 6) {
    const auto extra = nb::cast<nb::dict>(s[5]);
    t.by = nb::cast<std::string>(extra["by"]);
    t.interaction_only = nb::cast<bool>(extra["interaction_only"]);
    t.select = nb::cast<bool>(extra["select"]);
    t.constraint = nb::cast<std::string>(extra["constraint"]);
    t.k = nb::cast<std::size_t>(extra["k"]);
    t.points = matrix_or_empty(extra["points"]);
    t.transform = matrix_or_empty(extra["transform"]);
    t.penalty_values = to_vector(nb::cast<Array1>(extra["penalty_values"]));
    t.standardise = to_vector(nb::cast<Array1>(extra["standardise"]));
    t.box = to_vector(nb::cast<Array1>(extra["box"]));
  }
  return t;
}

void bind_margin_spec(nb::module_& m) {
  nb::class_<MarginSpec>(m, "MarginSpec", "One marginal basis of a smooth: kind, size, knots.")
      .def("__init__",
           [](MarginSpec* self, const std::string& basis, std::size_t k, const Array1& knots) {
             new (self) MarginSpec(make_margin(basis, k, knots));
           },
           "basis"_a, "k"_a, "knots"_a)
      .def_ro("basis", &MarginSpec::basis)
      .def_ro("k", &MarginSpec::k)
      .def_prop_ro("knots", [](const MarginSpec& s) { return to_numpy(s.knots); }, nb::rv_policy::automatic)
      .def("__getstate__", &margin_state)
      .def("__setstate__", [](MarginSpec* self, const MarginState& s) { new (self) MarginSpec(margin_from_state(s)); });
}

void bind_specs(nb::module_& m) {
  bind_margin_spec(m);
  nb::class_<TermSpec>(m, "TermSpec",
                       "A model term completely described: kind, input columns and the numbers "
                       "its basis is built from.")
      .def("__init__",
           [](TermSpec* self, const std::string& kind, const std::vector<std::size_t>& columns,
              const std::vector<MarginSpec>& margins, std::size_t levels, double center,
              const std::string& by, bool interaction_only, bool select, const std::string& constraint) {
             TermSpec t{kind, columns, margins, levels, center};
             t.by = by;
             t.interaction_only = interaction_only;
             t.select = select;
             t.constraint = constraint;
             new (self) TermSpec(std::move(t));
           },
           "kind"_a, "columns"_a = std::vector<std::size_t>{},
           "margins"_a = std::vector<MarginSpec>{}, "levels"_a = 0, "center"_a = 0.0,
           "by"_a = "", "interaction_only"_a = false, "select"_a = false, "constraint"_a = "")
      .def_ro("kind", &TermSpec::kind)
      .def_ro("columns", &TermSpec::columns)
      .def_ro("margins", &TermSpec::margins)
      .def_ro("levels", &TermSpec::levels)
      .def_ro("center", &TermSpec::center)
      .def_ro("by", &TermSpec::by)
      .def_ro("interaction_only", &TermSpec::interaction_only)
      .def_ro("select", &TermSpec::select)
      .def_ro("constraint", &TermSpec::constraint)
      .def_ro("k", &TermSpec::k)
      .def_prop_ro("points", [](const TermSpec& s) { return to_numpy(s.points); }, nb::rv_policy::automatic)
      .def_prop_ro("transform", [](const TermSpec& s) { return to_numpy(s.transform); }, nb::rv_policy::automatic)
      .def_prop_ro("penalty_values", [](const TermSpec& s) { return to_numpy(s.penalty_values); }, nb::rv_policy::automatic)
      .def_prop_ro("standardise", [](const TermSpec& s) { return to_numpy(s.standardise); }, nb::rv_policy::automatic)
      .def_prop_ro("box", [](const TermSpec& s) { return to_numpy(s.box); }, nb::rv_policy::automatic)
      .def("__getstate__", &term_state)
      .def("__setstate__", [](TermSpec* self, const nb::tuple& s) { new (self) TermSpec(term_from_state(s)); });
  m.def(
      "thin_plate_spec",
      [](const std::vector<std::size_t>& columns, const Array2& points, std::size_t k,
         const Array1& box, const std::string& what, bool select) {
        TermSpec t{"thin_plate", columns, {}, 0, 0.0};
        t.select = select;
        Inputs in;
        const MatrixView pv = in(points);
        const VectorView bv = in(box);
        if (auto ok = without_gil([&] { return terms::build_thin_plate(pv, k, bv, what, t); }); !ok) {
          raise(ok.error());
        }
        return t;
      },
      "columns"_a, "points"_a, "k"_a, "box"_a, "what"_a = "", "select"_a = false,
      "The spec of a thin-plate term built from distinct points (N x d) and the training box.");
  m.def(
      "point_sample",
      [](const Array2& x, std::size_t size) {
        Inputs in;
        const MatrixView xv = in(x);
        auto sample = without_gil([&] { return terms::smallest_point_hashes(xv, size); });
        const std::size_t m = sample.hashes.size();
        auto* hashes = new std::uint64_t[std::max<std::size_t>(m, 1)];
        auto* rows = new std::int64_t[std::max<std::size_t>(m, 1)];
        for (std::size_t i = 0; i < m; ++i) {
          hashes[i] = sample.hashes[i];
          rows[i] = static_cast<std::int64_t>(sample.rows[i]);
        }
        nb::capsule own_h(hashes, [](void* p) noexcept { delete[] static_cast<std::uint64_t*>(p); });
        nb::capsule own_r(rows, [](void* p) noexcept { delete[] static_cast<std::int64_t*>(p); });
        return std::make_pair(nb::ndarray<nb::numpy, std::uint64_t, nb::ndim<1>>(hashes, {m}, own_h),
                              nb::ndarray<nb::numpy, std::int64_t, nb::ndim<1>>(rows, {m}, own_r));
      },
      "x"_a, "size"_a,
      "The distinct rows of x (n x d) with the `size` smallest point hashes: (their hashes "
      "in increasing order, the first row of each).");
  m.def("richer_term", [](const TermSpec& spec) -> std::optional<TermSpec> {
    return value_or_raise(terms::make_term(spec, 0))->richer();
  }, "spec"_a, "The spec of a richer basis of the term's columns (None: no basis size to check).");
}

void bind_bases(nb::module_& m) {
  m.def("bases", [] {
    std::vector<std::tuple<std::string, std::size_t, bool, bool, std::size_t, bool, bool>> out;
    for (const auto& k : terms::marginal_kinds())
      out.emplace_back(std::string(k.name), k.min_size, k.needs_distinct, k.periodic, 1, true, k.shapes);
    out.emplace_back(terms::kThinPlateBasis, terms::kThinPlateMinSize, false, false,
                     terms::kThinPlateMaxColumns, false, false);
    return out;
  }, "The smooth bases: (name, smallest size, knots from distinct values, periodic, most "
     "columns, usable as a tensor margin, takes a shape constraint).");
  m.attr("MAX_THIN_PLATE_POINTS") = terms::kMaxThinPlatePoints;
  m.attr("MAX_TERM_WIDTH") = terms::kMaxTermWidth;
  m.def(
      "place_knots",
      [](const std::string& basis, std::size_t k, double lo, double hi,
         const std::optional<Array1>& distinct, const std::optional<Array1>& period,
         const std::string& what, const std::string& label, bool default_size) {
        const auto kind = terms::parse_basis(basis);
        if (!kind) throw nb::value_error(("unknown basis \"" + basis + "\"").c_str());
        Inputs in;
        return to_numpy(value_or_raise(
            terms::place_knots(*kind, k, lo, hi, in(distinct), in(period), what, label,
                               default_size)));
      },
      "basis"_a, "k"_a, "lo"_a, "hi"_a, "distinct"_a.none() = nb::none(),
      "period"_a.none() = nb::none(), "what"_a = "", "label"_a = "", "default_size"_a = false,
      "Knots of a marginal basis from its column's range, sorted distinct values and period "
      "(default_size: k is the default size, which quantile knots may thin).");
}

void bind_layout_queries(nb::class_<ModelLayout>& c) {
  c.def_prop_ro("width", &ModelLayout::width)
      .def_prop_ro("coefficients", &ModelLayout::coefficients)
      .def_prop_ro("is_centred", &ModelLayout::is_centred)
      .def_prop_ro("input_columns", &ModelLayout::input_columns)
      .def_prop_ro("null_space_dimension", &ModelLayout::null_space_dimension)
      .def_prop_ro("term_count", &ModelLayout::term_count)
      .def_prop_ro("sparse", [](const ModelLayout& l) { return l.sparse().has_value(); },
                   "Whether a grouped term is accumulated sparsely and eliminated block by block.")
      .def_prop_ro("dense_width", &ModelLayout::dense_width)
      .def_prop_ro("specs", &ModelLayout::specs)
      .def_prop_ro("penalty_terms",
                   [](const ModelLayout& l) {
                     std::vector<std::size_t> t;
                     for (const auto& p : l.penalties()) t.push_back(p.term);
                     return t;
                   })
      .def("offset", &ModelLayout::offset)
      .def("coefficient_offset", &ModelLayout::coefficient_offset)
      .def("coefficient_width", &ModelLayout::coefficient_width)
      .def("term_width", [](const ModelLayout& l, std::size_t t) {
        if (t >= l.term_count()) throw nb::index_error("no such term");
        return l.term(t).width();
      })
      .def("penalty_matrix", [](const ModelLayout& l, std::size_t j) {
        if (j >= l.penalties().size()) throw nb::index_error("no such penalty");
        return to_numpy(l.penalty_matrix(j));
      })
      .def("constrained_penalties", [](const ModelLayout& l) {
        nb::list out;
        for (const auto& p : l.constrained_penalties()) out.append(nb::make_tuple(p.offset, to_numpy(p.matrix)));
        return out;
      });
}

void bind_layout_maps(nb::class_<ModelLayout>& c) {
  c.def("design",
        [](const ModelLayout& l, const std::vector<Array1>& columns) {
          Inputs in;
          const auto views = in(columns);
          if (views.size() < l.input_columns()) throw nb::value_error("too few input columns");
          const std::size_t n = views.empty() ? 0 : views[0].size;
          for (const auto& v : views)
            if (v.size != n) throw nb::value_error("input columns differ in length");
          Matrix x(n, l.width());
          if (auto ok = l.evaluate_rows(views, 0, n, x.data(), l.width()); !ok) raise(ok.error());
          return to_numpy(x);
        },
        "columns"_a, "The raw design rows of the input columns (n x width).")
      .def("expand", [](const ModelLayout& l, const Array1& b) { Inputs in; return to_numpy(l.expand(in(b))); })
      .def("constrain", [](const ModelLayout& l, const Array1& v) {
        Inputs in;
        const VectorView view = in(v);
        if (view.size != l.width()) throw nb::value_error("one value per raw design column is needed");
        return to_numpy(l.constrain(view));
      }, "Z'v: raw coefficients (or sums) in the centred parameterisation.")
      .def("constrain_matrix", [](const ModelLayout& l, const Array2& a) {
        if (a.shape(0) != l.width() || a.shape(1) != l.width()) throw nb::value_error("a width x width matrix is needed");
        return to_numpy(l.constrain(to_matrix(a)));
      }, "Z'AZ: a symmetric matrix over the raw design columns in the centred parameterisation.")
      .def("expand_matrix", [](const ModelLayout& l, const Array2& v) { return to_numpy(l.expand(to_matrix(v))); })
      .def("penalty_quadratic", [](const ModelLayout& l, const Array1& beta, const Array1& lambda) {
        Inputs in;
        return l.penalty_quadratic(in(beta), in(lambda));
      });
}

}  // namespace

void bind_terms(nb::module_& m) {
  bind_specs(m);
  bind_labels(m);
  bind_bases(m);
  nb::class_<ModelLayout> layout(m, "Layout", "The model's terms and the design they define.");
  layout
      .def("__init__",
           [](ModelLayout* self, const std::vector<TermSpec>& specs) {
             new (self) ModelLayout(value_or_raise(ModelLayout::create(specs)));
           },
           "specs"_a)
      .def("centred",
           [](const ModelLayout& l, const Array1& sums) {
             Inputs in;
             return value_or_raise(l.centred(in(sums)));
           },
           "column_sums"_a)
      .def("held_at_ends", &ModelLayout::held_at_ends,
           "The layout with every smooth held at its value at the ends of its training range.")
      .def_static("memory_estimate", [](const std::vector<TermSpec>& specs) {
        std::size_t total = 0;
        for (const auto& s : specs) {
          const std::size_t b = terms::memory_estimate(s);
          total = b > SIZE_MAX - total ? SIZE_MAX : total + b;
        }
        return total;
      }, "specs"_a, "Bytes the layout of these specs would hold, from their sizes alone.");
  bind_layout_queries(layout);
  bind_layout_maps(layout);
}

}  // namespace velkan::engine
