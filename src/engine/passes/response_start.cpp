#include "engine/passes/response_start.h"

#include "diag/format.h"

namespace velkan::passes {

Status start_from_response(const families::ResponseModel& model, VectorView offset,
                          const StartRows& r, std::size_t row_base,
                          families::ResponseSums& s) {
  const std::size_t bad = model.first_outside_support(VectorView{r.y, r.count, 1});
  if (bad < r.count) {
    return fail(GamError::invalid_parameter(diag::format(
        "response {} at row {} is outside the support of the {} family ({})", r.y[bad],
        row_base + r.first + bad, model.info().name, model.info().support)));
  }
  // e = y - offset - x'beta0: on a first pass beta0 is a constant starting level, so the
  // gaussian null deviance sum w e^2 - (sum w e)^2 / sum w keeps its digits. (Sums in
  // locals: through s the compiler would store them on every row.)
  double response = 0.0, residual = 0.0, square = 0.0, offset_rows = 0.0, weight = 0.0;
  for (std::size_t i = 0; i < r.count; ++i) {
    const double y = r.y[i], pw = r.pw[i];
    const double off = offset.size == 0 ? 0.0 : offset[r.first + i];
    const double e = y - off - r.xb[i];
    response += pw * y;
    residual += pw * e;
    square += pw * e * e;
    offset_rows += off != 0.0 ? 1.0 : 0.0;
    weight += pw;
  }
  s.response_sum += response;
  s.residual_sum += residual;
  s.residual_square_sum += square;
  s.offset_rows += offset_rows;
  s.weight_sum += weight;
  model.family().add_response_sums(model.parameters(), r.y, r.pw, r.count, s);
  if (model.linear()) return {};
  model.starting_eta(r.y, r.pw, r.count, r.eta);
  for (std::size_t i = 0; i < r.count; ++i) {
    const double off = offset.size == 0 ? 0.0 : offset[r.first + i];
    r.shift[i] = r.eta[i] - off - r.xb[i];
  }
  return {};
}

void count_edges(const families::ResponseModel& model, bool first_pass, const double* y,
                 const double* pw, const double* weight, std::size_t count,
                 double& edge_responses, double& edge_rows, const double* multiplicity) {
  if (model.info().exact_fit_warning.empty()) return;
  for (std::size_t i = 0; i < count; ++i) {
    // The weight test first: it is cheap, and rarely passed.
    const bool low = weight[i] < families::kEdgeWeight * pw[i];
    if (!(pw[i] > 0.0) || !(first_pass || low)) continue;
    const bool edge = model.family().on_edge(y[i]);
    const double rows = multiplicity == nullptr ? 1.0 : multiplicity[i];
    if (first_pass && edge) edge_responses += rows;
    if (edge && low) edge_rows += rows;
  }
}

}  // namespace velkan::passes
