#include "velkan_core/search/smoothing_parameter.h"

#include "diag/format.h"
#include "velkan_core/search/fellner_schall.h"
#include "velkan_core/search/gcv.h"
#include "velkan_core/search/newton.h"

namespace velkan {

std::optional<SelectionMethod> parse_selection_method(std::string_view name) {
  if (name == "REML") return SelectionMethod::REML;
  if (name == "GCV") return SelectionMethod::GCV;
  return std::nullopt;
}

Status check_search_inputs(VectorView y, MatrixView x, VectorView w,
                           std::span<const Matrix> penalties, std::size_t m) {
  if (y.size != x.rows)
    return std::unexpected(GamError::dimension_mismatch(
        diag::format("X has {} rows but y has {} elements", {x.rows, y.size})));
  if (w.size != x.rows)
    return std::unexpected(GamError::dimension_mismatch(
        diag::format("X has {} rows but w has {} elements", {x.rows, w.size})));
  if (penalties.size() < m)
    return std::unexpected(GamError::dimension_mismatch(
        diag::format("{} penalties given for {} smoothing parameters", {penalties.size(), m})));
  for (std::size_t j = 0; j < m; ++j) {
    if (penalties[j].rows() != x.cols || penalties[j].cols() != x.cols)
      return std::unexpected(GamError::dimension_mismatch(
          diag::format("Penalty {} is {}x{} but X has {} columns",
                       {j, penalties[j].rows(), penalties[j].cols(), x.cols})));
  }
  return {};
}

Status optimize(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                std::span<const Matrix> penalties, std::size_t m) {
  return optimize(state, y, x, w, penalties, m, SearchReuse{});
}

Status optimize(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                std::span<const Matrix> penalties, std::size_t m, const SearchReuse& reuse) {
  if (m != state.lambda.size())
    return std::unexpected(
        GamError::dimension_mismatch("Number of penalties must match number of lambdas"));
  if (auto ok = check_search_inputs(y, x, w, penalties, m); !ok) return ok;
  if (m == 0 && state.method == SelectionMethod::GCV) {
    state.lambda = Vector();
    return {};
  }
  for (double& l : state.lambda) l = 1.0;
  state.outcome = SearchOutcome::Converged;
  penalties = penalties.first(m);
  if (state.method == SelectionMethod::GCV) return optimize_gcv(state, y, x, w, penalties, m);
  if (state.reml_algorithm == REMLAlgorithm::FellnerSchall)
    return optimize_reml_fellner_schall(state, y, x, w, penalties, m);
  NewtonOptions options;
  options.cache = reuse.cache;
  options.memo = reuse.memo;
  return optimize_reml_newton(state, y, x, w, penalties, m, options);
}

}  // namespace velkan
