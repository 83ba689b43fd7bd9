// Passes over rows: their sums (a class with `+`, which chunked passes and the Dask tree
// reduction use, and which pickles), the pass itself, linear predictors, row-wise
// variances, residuals, drawn responses and the constrained design.
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/optional.h>

#include <cstdint>
#include <limits>

#include "engine/families/family.h"
#include "engine/passes/accumulate.h"
#include "engine/passes/row_values.h"
#include "engine/passes/row_variance.h"
#include "engine/python/bindings.h"
#include "engine/python/convert.h"
#include "engine/terms/layout.h"

namespace velkan::engine {

using namespace nb::literals;
using passes::PassSums;

namespace {

using SumsState = std::tuple<Out2, Out1, Out1, std::vector<double>, bool, nb::tuple>;

// The optional sums flattened for pickling: correction (empty or p x p), parameter sums,
// profile sums, derivative sums (K stacked p x p blocks, t, v, q, r, s, u).
nb::tuple optional_state(const PassSums& s) {
  const auto& pr = s.parameter;
  const auto& d = s.derivatives;
  Matrix stacked(d.a.size() * s.xtwx.rows(), s.xtwx.rows());
  for (std::size_t k = 0; k < d.a.size(); ++k)
    for (std::size_t i = 0; i < d.a[k].rows(); ++i)
      for (std::size_t j = 0; j < d.a[k].cols(); ++j) stacked(k * d.a[k].rows() + i, j) = d.a[k](i, j);
  return nb::make_tuple(
      s.observed, to_numpy(s.correction),
      std::vector<double>{pr.loglik, pr.l1, pr.l2, s.profile.log_density, s.profile.d1, s.profile.d2, d.s},
      to_numpy(pr.xg1), to_numpy(pr.xg2), d.a.size(), to_numpy(stacked), to_numpy(d.t), to_numpy(d.v),
      to_numpy(d.q), to_numpy(d.r), to_numpy(d.u), d.hessian);
}

void restore_optional(PassSums& s, const nb::tuple& t) {
  if (t.size() != 13) throw nb::value_error("malformed pass sums");
  s.observed = nb::cast<bool>(t[0]);
  s.correction = to_matrix(nb::cast<Array2>(t[1]));
  const auto v = nb::cast<std::vector<double>>(t[2]);
  if (v.size() != 7) throw nb::value_error("malformed pass sums");
  s.parameter = {v[0], v[1], v[2], to_vector(nb::cast<Array1>(t[3])), to_vector(nb::cast<Array1>(t[4]))};
  s.profile = {v[3], v[4], v[5]};
  const auto k = nb::cast<std::size_t>(t[5]);
  const Matrix stacked = to_matrix(nb::cast<Array2>(t[6]));
  passes::DerivativeSums& d = s.derivatives;
  d = passes::DerivativeSums{};
  if (k == 0) return;
  const std::size_t p = stacked.cols();
  if (stacked.rows() != k * p) throw nb::value_error("malformed pass sums");
  for (std::size_t c = 0; c < k; ++c) {
    Matrix a(p, p);
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t j = 0; j < p; ++j) a(i, j) = stacked(c * p + i, j);
    d.a.push_back(std::move(a));
  }
  d.t = to_vector(nb::cast<Array1>(t[7]));
  d.v = to_vector(nb::cast<Array1>(t[8]));
  d.q = to_matrix(nb::cast<Array2>(t[9]));
  d.r = to_vector(nb::cast<Array1>(t[10]));
  d.s = v[6];
  d.u = to_matrix(nb::cast<Array2>(t[11]));
  d.hessian = nb::cast<bool>(t[12]);
}

SumsState sums_state(const PassSums& s) {
  const auto& r = s.response;
  return {to_numpy(s.xtwx), to_numpy(s.xtwt), to_numpy(s.column_sums),
          {s.ttwt, s.deviance, s.pearson, s.weight_sum, s.rows, r.response_sum, r.residual_sum,
           r.residual_square_sum, r.saturated_sum, r.log_normaliser, r.offset_rows, r.weight_sum,
           s.edge_rows, s.edge_responses, s.step_reach},
          s.finite, optional_state(s)};
}

PassSums sums_from_state(const Array2& xtwx, const Array1& xtwt, const Array1& column_sums,
                         const std::vector<double>& v, bool finite, const nb::tuple& extra) {
  if (v.size() != 15 || xtwx.shape(0) != xtwx.shape(1) || xtwt.shape(0) != xtwx.shape(0)) {
    throw nb::value_error("malformed pass sums");
  }
  PassSums s;
  s.xtwx = to_matrix(xtwx);
  s.xtwt = to_vector(xtwt);
  s.column_sums = to_vector(column_sums);
  s.ttwt = v[0];
  s.deviance = v[1];
  s.pearson = v[2];
  s.weight_sum = v[3];
  s.rows = v[4];
  s.response = {v[5], v[6], v[7], v[8], v[9], v[10], v[11]};
  s.edge_rows = v[12];
  s.edge_responses = v[13];
  s.step_reach = v[14];
  s.finite = finite;
  restore_optional(s, extra);
  return s;
}

// What a pass is asked for beyond the cross products, and the model it uses (a family's
// parameters change during a fit); plain data, so that Dask tasks receive it pickled.
struct PassRequest {
  families::ResponseModel model;
  bool observed_information = false;
  bool response_sums = false;
  bool parameter_sums = false;
  double profile_scale = 0.0;
  std::optional<passes::DerivativeRequest> derivatives;
  Vector step_origin;  // empty: none (PassOptions::step_origin)
  bool cross_products = true;
};

void bind_request(nb::module_& m) {
  nb::class_<passes::DerivativeRequest>(m, "DerivativeRequest",
                                        "What a derivative pass needs (raw coordinates).")
      .def_prop_ro("h_inverse", [](const passes::DerivativeRequest& r) { return to_numpy(r.h_inverse); }, nb::rv_policy::automatic)
      .def_prop_ro("dbeta", [](const passes::DerivativeRequest& r) { return to_numpy(r.dbeta); }, nb::rv_policy::automatic)
      .def_ro("parameter", &passes::DerivativeRequest::parameter)
      .def_ro("hessian", &passes::DerivativeRequest::hessian)
      .def("gradient_only", [](const passes::DerivativeRequest& r) {
        passes::DerivativeRequest g = r;
        g.hessian = false;
        return g;
      }, "This request for the gradient's sums alone.")
      .def("__getstate__", [](const passes::DerivativeRequest& r) {
        return std::make_tuple(to_numpy(r.h_inverse), to_numpy(r.dbeta), r.parameter, r.hessian);
      })
      .def("__setstate__", [](passes::DerivativeRequest* self, const std::tuple<Array2, Array2, bool, bool>& t) {
        new (self) passes::DerivativeRequest{to_matrix(std::get<0>(t)), to_matrix(std::get<1>(t)), std::get<2>(t),
                                             std::get<3>(t)};
      });
  nb::class_<PassRequest>(m, "PassRequest", "What one pass is asked for, and its model.")
      .def("__init__",
           [](PassRequest* self, families::ResponseModel model, bool observed, bool response, bool parameter,
              double profile, std::optional<passes::DerivativeRequest> derivatives,
              const std::optional<Array1>& step_origin, bool cross_products) {
             new (self) PassRequest{std::move(model), observed, response, parameter, profile,
                                    std::move(derivatives), step_origin ? to_vector(*step_origin) : Vector(0),
                                    cross_products};
           },
           "model"_a, "observed_information"_a = false, "response_sums"_a = false,
           "parameter_sums"_a = false, "profile_scale"_a = 0.0, "derivatives"_a.none() = nb::none(),
           "step_origin"_a.none() = nb::none(), "cross_products"_a = true)
      .def_ro("model", &PassRequest::model)
      .def_ro("observed_information", &PassRequest::observed_information)
      .def_ro("profile_scale", &PassRequest::profile_scale)
      .def("__getstate__", [](const PassRequest& r) {
        return std::make_tuple(r.model, r.observed_information, r.response_sums, r.parameter_sums,
                               r.profile_scale, r.derivatives, to_numpy(r.step_origin), r.cross_products);
      })
      .def("__setstate__", [](PassRequest* self, const std::tuple<families::ResponseModel, bool, bool, bool,
                                                                  double, std::optional<passes::DerivativeRequest>,
                                                                  Array1, bool>& t) {
        new (self) PassRequest{std::get<0>(t), std::get<1>(t), std::get<2>(t), std::get<3>(t),
                               std::get<4>(t), std::get<5>(t), to_vector(std::get<6>(t)), std::get<7>(t)};
      });
}

void bind_sums(nb::module_& m) {
  nb::class_<PassSums>(m, "PassSums", "What one pass over some rows reduces them to.")
      .def_prop_ro("xtwx", [](const PassSums& s) { return to_numpy(s.xtwx); }, nb::rv_policy::automatic)
      .def_prop_ro("xtwt", [](const PassSums& s) { return to_numpy(s.xtwt); }, nb::rv_policy::automatic)
      .def_prop_ro("column_sums", [](const PassSums& s) { return to_numpy(s.column_sums); }, nb::rv_policy::automatic)
      .def_ro("ttwt", &PassSums::ttwt)
      .def_ro("deviance", &PassSums::deviance)
      .def_ro("pearson", &PassSums::pearson)
      .def_ro("weight_sum", &PassSums::weight_sum)
      .def_ro("rows", &PassSums::rows)
      .def_ro("response", &PassSums::response)
      .def_ro("finite", &PassSums::finite)
      .def_ro("observed", &PassSums::observed)
      .def_prop_ro("parameter_sums", [](const PassSums& s) {
        return nb::make_tuple(s.parameter.loglik, s.parameter.l1, s.parameter.l2);
      }, "(log-likelihood, dl/dpsi, d2l/dpsi2) of a pass with parameter sums")
      .def_prop_ro("profile_sums", [](const PassSums& s) {
        return nb::make_tuple(s.profile.log_density, s.profile.d1, s.profile.d2);
      }, "(log density, and its derivatives in log scale) of a profile pass")
      .def_ro("edge_rows", &PassSums::edge_rows)
      .def_ro("edge_responses", &PassSums::edge_responses)
      .def_ro("step_reach", &PassSums::step_reach,
              "with a request's step_origin: the largest fraction of the step from there that keeps "
              "every row's mean inside the family's domain")
      .def("__add__",
           [](const PassSums& a, const PassSums& b) {
             if (a.xtwx.rows() != b.xtwx.rows() || a.column_sums.size() != b.column_sums.size()) {
               throw nb::value_error("the sums of passes over different layouts cannot be added");
             }
             PassSums out = a;
             out.add(b);
             return out;
           })
      .def("__getstate__", &sums_state)
      .def("__setstate__",
           [](PassSums* self, const std::tuple<Array2, Array1, Array1, std::vector<double>, bool, nb::tuple>& s) {
             new (self) PassSums(sums_from_state(std::get<0>(s), std::get<1>(s), std::get<2>(s),
                                                 std::get<3>(s), std::get<4>(s), std::get<5>(s)));
           });
}

void bind_row_values(nb::module_& m) {
  m.def(
      "residuals",
      [](const families::ResponseModel& model, const Array1& y, const Array1& eta,
         const std::optional<Array1>& weights, const std::string& kind, std::size_t threads) {
        const auto k = passes::parse_residual_kind(kind);
        if (!k) {
          throw nb::value_error(("kind must be 'deviance', 'pearson', 'response' or 'working', "
                                 "got '" + kind + "'").c_str());
        }
        Inputs in;
        const VectorView yv = in(y), ev = in(eta), wv = in(weights);
        Vector out(yv.size);
        auto r = without_gil([&] { return passes::residuals(model, yv, ev, wv, *k, out.span(), threads); });
        if (!r) raise(r.error());
        return to_numpy(out);
      },
      "model"_a, "y"_a, "eta"_a, "weights"_a.none(), "kind"_a, "threads"_a = 1,
      "Residuals of one kind at the linear predictors eta.");
  m.def(
      "draw_responses",
      [](const families::ResponseModel& model, const Array1& mu, const std::optional<Array1>& weights,
         double scale, std::size_t replicates, std::uint64_t seed, std::uint64_t first_row,
         std::size_t threads) {
        Inputs in;
        const VectorView mv = in(mu), wv = in(weights);
        if (mv.size != 0 && replicates > std::numeric_limits<std::size_t>::max() / 8 / mv.size) {
          throw nb::value_error("too many draws: replicates x rows exceeds the address space");
        }
        Matrix out(replicates, mv.size);
        auto r = without_gil([&] {
          return passes::draw_responses(model, mv, wv, scale, seed, first_row, replicates,
                                        std::span<double>(out.data(), out.size()), threads);
        });
        if (!r) raise(r.error());
        return to_numpy(out);
      },
      "model"_a, "mu"_a, "weights"_a.none(), "scale"_a, "replicates"_a, "seed"_a,
      "first_row"_a = 0, "threads"_a = 1,
      "Responses drawn from the fitted distribution: replicates x rows.");
  m.def(
      "model_matrix",
      [](const terms::ModelLayout& layout, const std::vector<Array1>& columns, std::size_t n,
         std::size_t threads) {
        Inputs in;
        const auto views = in(columns);
        Matrix out(n, layout.coefficients());
        auto r = without_gil([&] {
          return passes::model_matrix(layout, views, n, std::span<double>(out.data(), out.size()),
                                      threads);
        });
        if (!r) raise(r.error());
        return to_numpy(out);
      },
      "layout"_a, "columns"_a, "rows"_a, "threads"_a = 1,
      "The constrained design rows (rows x coefficients).");
}

}  // namespace

void bind_passes(nb::module_& m) {
  bind_sums(m);
  bind_request(m);
  bind_row_values(m);
  m.def(
      "accumulate",
      [](const terms::ModelLayout& layout, const std::vector<Array1>& columns, const Array1& y,
         const std::optional<Array1>& weights, const std::optional<Array1>& offset,
         const families::ResponseModel& model, const Array1& beta0, bool from_response,
         bool column_sums, std::size_t threads, std::size_t block_rows,
         const std::optional<PassRequest>& request) {
        Inputs in;
        const auto views = in(columns);
        passes::RowData data{views, in(y), in(weights), in(offset)};
        passes::PassOptions opt{from_response, column_sums, threads, block_rows};
        if (request) {
          opt.observed_information = request->observed_information;
          opt.response_sums = request->response_sums;
          opt.parameter_sums = request->parameter_sums;
          opt.profile_scale = request->profile_scale;
          if (request->derivatives) opt.derivatives = &*request->derivatives;
          opt.step_origin = request->step_origin.view();
          opt.cross_products = request->cross_products;
        }
        const families::ResponseModel& used = request ? request->model : model;
        const VectorView beta = in(beta0);
        return value_or_raise(
            without_gil([&] { return passes::accumulate(layout, data, used, beta, opt); }));
      },
      "layout"_a, "columns"_a, "y"_a, "weights"_a.none(), "offset"_a.none(), "model"_a,
      "beta0"_a, "from_response"_a, "column_sums"_a, "threads"_a = 1,
      "block_rows"_a = passes::kPassBlockRows, "request"_a.none() = nb::none(),
      "One pass over the rows: cross products, working sums and (first pass) response sums.");

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
}

}  // namespace velkan::engine
