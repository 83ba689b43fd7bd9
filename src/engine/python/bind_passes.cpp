// Passes over rows: their sums (a class with `+`, which chunked passes and the Dask tree
// reduction use, and which pickles), the pass itself, linear predictors, row-wise
// variances, residuals, drawn responses and the constrained design.
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

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

using SumsState = std::tuple<Out2, Out1, Out1, std::vector<double>, bool>;

SumsState sums_state(const PassSums& s) {
  const auto& r = s.response;
  return {to_numpy(s.xtwx), to_numpy(s.xtwt), to_numpy(s.column_sums),
          {s.ttwt, s.deviance, s.pearson, s.weight_sum, s.rows, r.response_sum, r.residual_sum,
           r.residual_square_sum, r.saturated_sum, r.log_normaliser, r.offset_rows, r.weight_sum,
           s.edge_rows, s.edge_responses},
          s.finite};
}

PassSums sums_from_state(const Array2& xtwx, const Array1& xtwt, const Array1& column_sums,
                         const std::vector<double>& v, bool finite) {
  if (v.size() != 14 || xtwx.shape(0) != xtwx.shape(1) || xtwt.shape(0) != xtwx.shape(0)) {
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
  s.finite = finite;
  return s;
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
      .def_ro("edge_rows", &PassSums::edge_rows)
      .def_ro("edge_responses", &PassSums::edge_responses)
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
           [](PassSums* self, const std::tuple<Array2, Array1, Array1, std::vector<double>, bool>& s) {
             new (self) PassSums(sums_from_state(std::get<0>(s), std::get<1>(s), std::get<2>(s),
                                                 std::get<3>(s), std::get<4>(s)));
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
  bind_row_values(m);
  m.def(
      "accumulate",
      [](const terms::ModelLayout& layout, const std::vector<Array1>& columns, const Array1& y,
         const std::optional<Array1>& weights, const std::optional<Array1>& offset,
         const families::ResponseModel& model, const Array1& beta0, bool from_response,
         bool column_sums, std::size_t threads, std::size_t block_rows) {
        Inputs in;
        const auto views = in(columns);
        passes::RowData data{views, in(y), in(weights), in(offset)};
        passes::PassOptions opt{from_response, column_sums, threads, block_rows};
        const VectorView beta = in(beta0);
        return value_or_raise(
            without_gil([&] { return passes::accumulate(layout, data, model, beta, opt); }));
      },
      "layout"_a, "columns"_a, "y"_a, "weights"_a.none(), "offset"_a.none(), "model"_a,
      "beta0"_a, "from_response"_a, "column_sums"_a, "threads"_a = 1,
      "block_rows"_a = passes::kPassBlockRows,
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
