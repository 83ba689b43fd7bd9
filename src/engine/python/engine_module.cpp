// velkan._engine: the modelling engine's thin binding. Each function converts its
// arguments, makes one call into the core with the interpreter lock released, and
// converts the result back; core errors become ValueError here and nowhere else.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "engine/inference/covariance.h"
#include "engine/inference/distributions.h"
#include "engine/inference/term_test.h"
#include "linalg/blas_threads.h"
#include "engine/passes/accumulate.h"
#include "engine/passes/row_variance.h"
#include "bindings/released_gil.h"
#include "engine/select/fit_step.h"
#include "engine/terms/layout.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace velkan::engine {

namespace {

using Array1 = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;
using Array2 = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using Out1 = nb::ndarray<nb::numpy, double, nb::ndim<1>>;
using Out2 = nb::ndarray<nb::numpy, double, nb::ndim<2>>;

// NumPy arrays need not be aligned for their type (one unpickled from a byte buffer, a
// view at an odd byte offset), but the core reads doubles in place. `Inputs` views the
// caller's arrays and first copies any unaligned one into storage of its own, which lives
// as long as the `Inputs` object: declare one per call, before the views it hands out.
class Inputs {
 public:
  VectorView operator()(const Array1& a) {
    const auto stride = static_cast<std::ptrdiff_t>(a.stride(0));
    if (aligned(a.data())) return {a.data(), a.shape(0), stride};
    auto& copy = copies_.emplace_back(a.shape(0));
    copy_unaligned(a.data(), a.shape(0), 1, stride, 0, copy.data());
    return {copy.data(), copy.size(), 1};
  }
  VectorView operator()(const std::optional<Array1>& a) { return a ? (*this)(*a) : VectorView{}; }
  MatrixView operator()(const Array2& a) {
    const auto rs = static_cast<std::ptrdiff_t>(a.stride(0));
    const auto cs = static_cast<std::ptrdiff_t>(a.stride(1));
    if (aligned(a.data())) return {a.data(), a.shape(0), a.shape(1), rs, cs};
    auto& copy = copies_.emplace_back(a.shape(0) * a.shape(1));
    copy_unaligned(a.data(), a.shape(0), a.shape(1), rs, cs, copy.data());
    return {copy.data(), a.shape(0), a.shape(1), static_cast<std::ptrdiff_t>(a.shape(1)), 1};
  }
  std::vector<VectorView> operator()(const std::vector<Array1>& columns) {
    std::vector<VectorView> v;
    v.reserve(columns.size());
    for (const auto& c : columns) v.push_back((*this)(c));
    return v;
  }

 private:
  static bool aligned(const double* p) {
    return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
  }
  // Row-major copy of a rows x cols array with element strides rs, cs, read bytewise.
  static void copy_unaligned(const double* src, std::size_t rows, std::size_t cols,
                             std::ptrdiff_t rs, std::ptrdiff_t cs, double* dst) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(src);
    for (std::size_t i = 0; i < rows; ++i) {
      for (std::size_t j = 0; j < cols; ++j) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(j) * cs;
        std::memcpy(dst + i * cols + j, bytes + at * static_cast<std::ptrdiff_t>(sizeof(double)),
                    sizeof(double));
      }
    }
  }
  std::deque<std::vector<double>> copies_;
};

// A NumPy array owning a copy of the values.
Out1 to_numpy(const Vector& v) {
  auto* data = new double[std::max<std::size_t>(v.size(), 1)];
  if (v.size() > 0) std::memcpy(data, v.data(), v.size() * sizeof(double));
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return Out1(data, {v.size()}, owner);
}
Out2 to_numpy(const Matrix& m) {
  auto* data = new double[std::max<std::size_t>(m.size(), 1)];
  if (m.size() > 0) std::memcpy(data, m.data(), m.size() * sizeof(double));
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return Out2(data, {m.rows(), m.cols()}, owner);
}
Vector to_vector(const Array1& a) { return Vector::from(Inputs{}(a)); }
Matrix to_matrix(const Array2& a) { return Matrix::from(Inputs{}(a)); }

// Raises the pending Python exception (an interrupt) or the core's error.
[[noreturn]] void raise(const GamError& e) {
  if (PyErr_Occurred()) throw nb::python_error();
  throw nb::value_error((e.message().empty() ? e.display() : e.message()).c_str());
}

template <class T>
T value_or_raise(Result<T>&& r) {
  if (!r) raise(r.error());
  return std::move(*r);
}

// Runs `body` without the interpreter lock, answering Ctrl-C.
template <class F>
auto without_gil(F&& body) {
  std::optional<decltype(body())> out;
  {
    py::ReleasedGil released;
    out.emplace(body());
  }
  return std::move(*out);
}

terms::Term parse_term(const nb::dict& d) {
  terms::Term t;
  const auto kind = nb::cast<std::string>(d["kind"]);
  if (kind == "intercept") {
    t.kind = terms::TermKind::Intercept;
  } else if (kind == "linear") {
    t.kind = terms::TermKind::Linear;
    if (d.contains("center")) t.center = nb::cast<double>(d["center"]);
  } else if (kind == "factor") {
    t.kind = terms::TermKind::Factor;
    t.levels = nb::cast<std::size_t>(d["levels"]);
  } else if (kind == "smooth") {
    t.kind = terms::TermKind::Smooth;
    for (nb::handle m : nb::cast<nb::list>(d["margins"])) {
      auto tup = nb::cast<nb::tuple>(m);
      const auto name = nb::cast<std::string>(tup[0]);
      const auto basis = terms::parse_basis(name);
      if (!basis) throw nb::value_error(("unknown basis \"" + name + "\"").c_str());
      const auto k = nb::cast<std::size_t>(tup[1]);
      const auto knots = nb::cast<Array1>(tup[2]);
      Inputs in;
      t.margins.push_back(value_or_raise(terms::MarginalBasis::create(*basis, k, in(knots))));
    }
  } else {
    throw nb::value_error(("unknown term kind \"" + kind + "\"").c_str());
  }
  if (d.contains("columns")) t.columns = nb::cast<std::vector<std::size_t>>(d["columns"]);
  return t;
}

nb::dict sums_to_dict(const passes::PassSums& s) {
  nb::dict d;
  d["xtwx"] = to_numpy(s.xtwx);
  d["xtwt"] = to_numpy(s.xtwt);
  d["ttwt"] = s.ttwt;
  d["deviance"] = s.deviance;
  d["pearson"] = s.pearson;
  d["weight_sum"] = s.weight_sum;
  d["rows"] = s.rows;
  d["column_sums"] = to_numpy(s.column_sums);
  d["response_sum"] = s.response_sum;
  d["residual_sum"] = s.residual_sum;
  d["residual_square_sum"] = s.residual_square_sum;
  d["saturated_sum"] = s.saturated_sum;
  d["log_normaliser"] = s.log_normaliser;
  d["offset_rows"] = s.offset_rows;
  d["finite"] = s.finite;
  return d;
}

passes::PassSums sums_from_dict(const nb::dict& d) {
  passes::PassSums s;
  s.xtwx = to_matrix(nb::cast<Array2>(d["xtwx"]));
  s.xtwt = to_vector(nb::cast<Array1>(d["xtwt"]));
  s.ttwt = nb::cast<double>(d["ttwt"]);
  s.deviance = nb::cast<double>(d["deviance"]);
  s.pearson = nb::cast<double>(d["pearson"]);
  s.weight_sum = nb::cast<double>(d["weight_sum"]);
  s.rows = nb::cast<double>(d["rows"]);
  s.finite = nb::cast<bool>(d["finite"]);
  return s;
}

select::Criterion parse_criterion(const std::string& name) {
  if (name == "REML") return select::Criterion::Reml;
  if (name == "GCV") return select::Criterion::Gcv;
  if (name == "UBRE") return select::Criterion::Ubre;
  throw nb::value_error(("unknown criterion \"" + name + "\"").c_str());
}

passes::GlmFamily parse_family(const std::string& name) {
  const auto f = passes::parse_glm_family(name);
  if (!f) throw nb::value_error(("unknown family \"" + name + "\"").c_str());
  return *f;
}

nb::dict evaluation_to_dict(const select::Evaluation& ev) {
  nb::dict d;
  d["defined"] = ev.defined;
  d["score"] = ev.score;
  d["gradient"] = to_numpy(ev.gradient);
  d["hessian"] = to_numpy(ev.hessian);
  d["beta"] = to_numpy(ev.beta);
  d["deviance"] = ev.deviance;
  d["penalized_deviance"] = ev.penalized_deviance;
  d["scale"] = ev.scale;
  d["edf"] = ev.edf;
  d["edf_per_coefficient"] = to_numpy(ev.edf_per_coefficient);
  d["h_inverse"] = to_numpy(ev.h_inverse);
  d["log_det_h"] = ev.log_det_h;
  return d;
}

}  // namespace

NB_MODULE(_engine, m) {
  use_calling_thread_only();
  m.doc() = "The compiled modelling engine of velkan (private; use velkan.GAM).";

  nb::class_<terms::ModelLayout>(m, "Layout")
      .def("__init__",
           [](terms::ModelLayout* self, const nb::list& spec) {
             std::vector<terms::Term> terms;
             for (nb::handle h : spec) terms.push_back(parse_term(nb::cast<nb::dict>(h)));
             new (self) terms::ModelLayout(value_or_raise(terms::ModelLayout::create(std::move(terms))));
           },
           "terms"_a)
      .def("centred",
           [](const terms::ModelLayout& l, const Array1& sums) {
             Inputs in;
             return value_or_raise(l.centred(in(sums)));
           },
           "column_sums"_a)
      .def_prop_ro("width", &terms::ModelLayout::width)
      .def_prop_ro("coefficients", &terms::ModelLayout::coefficients)
      .def_prop_ro("is_centred", &terms::ModelLayout::is_centred)
      .def_prop_ro("input_columns", &terms::ModelLayout::input_columns)
      .def_prop_ro("null_space_dimension", &terms::ModelLayout::null_space_dimension)
      .def_prop_ro("penalty_terms",
                   [](const terms::ModelLayout& l) {
                     std::vector<std::size_t> t;
                     for (const auto& p : l.penalties()) t.push_back(p.term);
                     return t;
                   })
      .def("offset", &terms::ModelLayout::offset)
      .def("coefficient_offset", &terms::ModelLayout::coefficient_offset)
      .def("coefficient_width", &terms::ModelLayout::coefficient_width)
      .def("term_width", [](const terms::ModelLayout& l, std::size_t t) { return l.terms().at(t).width(); })
      .def("penalty_matrix", [](const terms::ModelLayout& l, std::size_t j) {
        if (j >= l.penalties().size()) throw nb::index_error("no such penalty");
        return to_numpy(l.penalty_matrix(j));
      })
      .def("constrained_penalties",
           [](const terms::ModelLayout& l) {
             nb::list out;
             for (const auto& p : l.constrained_penalties()) out.append(nb::make_tuple(p.offset, to_numpy(p.matrix)));
             return out;
           })
      .def("log_pseudo_determinant",
           [](const terms::ModelLayout& l, const Array1& rho) {
             if (rho.shape(0) != l.penalties().size()) throw nb::value_error("one rho per penalty");
             Inputs in;
             const auto r = l.log_pseudo_determinant(in(rho));
             return nb::make_tuple(r.value, to_numpy(r.gradient), to_numpy(r.hessian));
           })
      .def("design",
           [](const terms::ModelLayout& l, const std::vector<Array1>& columns) {
             Inputs in;
             const auto views = in(columns);
             if (views.size() < l.input_columns()) throw nb::value_error("too few input columns");
             const std::size_t n = views.empty() ? 0 : views[0].size;
             for (const auto& v : views)
               if (v.size != n) throw nb::value_error("input columns differ in length");
             Matrix x(n, l.width());
             if (auto ok = l.evaluate_rows(views, 0, n, x.data(), l.width()); !ok) raise(ok.error());
             return to_numpy(x);
           })
      .def("constrain_matrix", [](const terms::ModelLayout& l, const Array2& a) { return to_numpy(l.constrain(to_matrix(a))); })
      .def("constrain_vector", [](const terms::ModelLayout& l, const Array1& v) { Inputs in; return to_numpy(l.constrain(in(v))); })
      .def("expand", [](const terms::ModelLayout& l, const Array1& b) { Inputs in; return to_numpy(l.expand(in(b))); })
      .def("expand_matrix", [](const terms::ModelLayout& l, const Array2& v) { return to_numpy(l.expand(to_matrix(v))); })
      .def("penalty_quadratic", [](const terms::ModelLayout& l, const Array1& beta, const Array1& lambda) {
        Inputs in;
        return l.penalty_quadratic(in(beta), in(lambda));
      });

  m.def(
      "accumulate",
      [](const terms::ModelLayout& layout, const std::vector<Array1>& columns, const Array1& y,
         const std::optional<Array1>& weights, const std::optional<Array1>& offset,
         const std::string& family, const Array1& beta0, bool from_response, bool column_sums,
         std::size_t threads, std::size_t block_rows) {
        const auto fam = parse_family(family);
        Inputs in;
        const auto views = in(columns);
        passes::RowData data{views, in(y), in(weights), in(offset)};
        passes::PassOptions opt{from_response, column_sums, threads, block_rows};
        const VectorView beta = in(beta0);
        auto r = without_gil([&] { return passes::accumulate(layout, data, fam, beta, opt); });
        return sums_to_dict(value_or_raise(std::move(r)));
      },
      "layout"_a, "columns"_a, "y"_a, "weights"_a.none(), "offset"_a.none(), "family"_a,
      "beta0"_a, "from_response"_a, "column_sums"_a, "threads"_a = 1,
      "block_rows"_a = passes::kPassBlockRows);

  m.def(
      "linear_predictor",
      [](const terms::ModelLayout& layout, const std::vector<Array1>& columns, const Array1& beta,
         const std::optional<Array1>& offset, std::size_t n, std::size_t threads) {
        Inputs in;
        const auto views = in(columns);
        const VectorView b = in(beta), off = in(offset);
        Vector out(n);
        auto r = without_gil([&] {
          return passes::linear_predictor(layout, views, b, off, out.span(), threads);
        });
        if (!r) raise(r.error());
        return to_numpy(out);
      },
      "layout"_a, "columns"_a, "beta"_a, "offset"_a.none(), "rows"_a, "threads"_a = 1);

  m.def(
      "fit_step",
      [](const terms::ModelLayout& layout, const nb::dict& sums_dict, const Array1& beta0,
         const Array1& rho_start, const std::vector<bool>& free, const std::string& criterion,
         double known_scale, std::size_t max_iterations, double tolerance) {
        const passes::PassSums sums = sums_from_dict(sums_dict);
        if (sums.xtwx.rows() != layout.width() || beta0.shape(0) != layout.width()) {
          throw nb::value_error("cross products or expansion point do not match the layout");
        }
        const std::size_t m = layout.penalties().size();
        if (rho_start.shape(0) != m || free.size() != m) throw nb::value_error("one rho per penalty");
        select::StepInput in;
        in.layout = &layout;
        in.sums = &sums;
        in.beta0_raw = to_vector(beta0);
        in.rho_start = to_vector(rho_start);
        in.free = free;
        in.criterion = parse_criterion(criterion);
        in.known_scale = known_scale;
        in.max_iterations = max_iterations;
        in.gradient_tolerance = tolerance;
        auto r = without_gil([&] { return select::fit_step(in); });
        auto step = value_or_raise(std::move(r));
        nb::dict d = evaluation_to_dict(step.search.at);
        d["rho"] = to_numpy(step.search.rho);
        d["rho_balanced"] = to_numpy(step.rho_balanced);
        d["beta_raw"] = to_numpy(step.beta_raw);
        d["iterations"] = step.search.iterations;
        d["score_evaluations"] = step.search.score_evaluations;
        d["exit"] = std::string(select::search_exit_name(step.search.exit));
        d["undetermined"] = step.undetermined;
        d["xtwx"] = to_numpy(step.problem.xtwx);
        d["ridge"] = to_numpy(step.problem.ridge);
        return d;
      },
      "layout"_a, "sums"_a, "beta0"_a, "rho_start"_a, "free"_a, "criterion"_a, "known_scale"_a,
      "max_iterations"_a, "tolerance"_a);

  m.def(
      "evaluate_criterion",
      [](const terms::ModelLayout& layout, const nb::dict& sums_dict, const Array1& beta0,
         const Array1& rho, const std::string& criterion, double known_scale, int order) {
        const passes::PassSums sums = sums_from_dict(sums_dict);
        if (sums.xtwx.rows() != layout.width() || beta0.shape(0) != layout.width() ||
            rho.shape(0) != layout.penalties().size()) {
          throw nb::value_error("shapes do not match the layout");
        }
        Inputs in;
        const auto wp = select::working_problem(layout, sums, in(beta0));
        auto ev = value_or_raise(select::evaluate(wp, parse_criterion(criterion), known_scale, in(rho), order));
        return evaluation_to_dict(ev);
      },
      "layout"_a, "sums"_a, "beta0"_a, "rho"_a, "criterion"_a, "known_scale"_a, "order"_a = 2);

  m.attr("NAN") = std::numeric_limits<double>::quiet_NaN();

  // ---- inference: covariances, row-wise standard errors, tests
  m.def(
      "covariance",
      [](const terms::ModelLayout& layout, const Array2& xtwx, const std::optional<Array1>& ridge,
         const Array1& rho, double scale, const std::optional<Array1>& beta,
         const std::optional<Array2>& rho_hessian, const std::vector<bool>& free) {
        if (xtwx.shape(0) != layout.coefficients() || xtwx.shape(1) != layout.coefficients()) {
          throw nb::value_error("cross products do not match the layout's coefficients");
        }
        const auto penalties = layout.constrained_penalties();
        Inputs in;
        std::optional<inference::SmoothingUncertainty> unc;
        if (beta && rho_hessian) unc = inference::SmoothingUncertainty{in(*beta), in(*rho_hessian), free};
        const MatrixView g = in(xtwx);
        const VectorView ridge_view = in(ridge), rho_view = in(rho);
        auto r = without_gil([&] {
          return inference::coefficient_covariance(g, penalties, ridge_view, rho_view, scale,
                                                   unc ? &*unc : nullptr);
        });
        const auto c = value_or_raise(std::move(r));
        nb::dict d;
        d["vp"] = to_numpy(c.vp);
        d["ve"] = to_numpy(c.ve);
        d["vc"] = to_numpy(c.vc);
        d["edf"] = to_numpy(c.edf);
        return d;
      },
      "layout"_a, "xtwx"_a, "ridge"_a.none(), "rho"_a, "scale"_a, "beta"_a.none() = nb::none(),
      "rho_hessian"_a.none() = nb::none(), "free"_a = std::vector<bool>{});

  m.def(
      "row_variance",
      [](const terms::ModelLayout& layout, const std::vector<Array1>& columns,
         std::size_t first_column, const Array1& beta, const Array2& cov, std::size_t n,
         std::size_t threads) {
        Inputs in;
        const auto views = in(columns);
        const VectorView beta_view = in(beta);
        const MatrixView cov_view = in(cov);
        Vector fit(n), variance(n);
        auto r = without_gil([&] {
          return passes::row_variance(layout, views, first_column, beta_view, cov_view,
                                      fit.span(), variance.span(), threads);
        });
        if (!r) raise(r.error());
        return nb::make_tuple(to_numpy(fit), to_numpy(variance));
      },
      "layout"_a, "columns"_a, "first_column"_a, "beta"_a, "cov"_a, "rows"_a, "threads"_a = 1);

  m.def(
      "smooth_term_test",
      [](const Array1& beta, const Array2& vp, const Array2& g, double edf, double residual_df) {
        Inputs in;
        const auto t = value_or_raise(
            inference::smooth_term_test(in(beta), in(vp), in(g), edf, residual_df));
        return nb::make_tuple(t.statistic, t.ref_df, t.rank, t.p_value);
      },
      "beta"_a, "vp"_a, "g"_a, "edf"_a, "residual_df"_a);
  m.def("wald_p_value", &inference::wald_p_value, "statistic"_a, "residual_df"_a);
  m.def("normal_quantile", &inference::normal_quantile, "p"_a);
  m.def("chi_square_upper", &inference::chi_square_upper, "x"_a, "df"_a);
  m.def("f_upper", &inference::f_upper, "x"_a, "df1"_a, "df2"_a);
  m.def("student_t_two_sided", &inference::student_t_two_sided, "t"_a, "df"_a);
  m.def("chi_square_mixture_upper", &inference::chi_square_mixture_upper, "x"_a, "k"_a, "nu"_a);
}

}  // namespace velkan::engine
