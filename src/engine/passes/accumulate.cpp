#include "engine/passes/accumulate.h"

#include <algorithm>
#include <cmath>
#include <math.h>
#include <optional>
#include <vector>

#include "diag/format.h"
#include "linalg/lapack.h"
#include "engine/passes/information.h"
#include "engine/passes/response_start.h"
#include "engine/passes/row_blocks.h"

namespace velkan::passes {

namespace {

using lapack::lapack_int;

double at_or(VectorView v, std::size_t i, double fallback) {
  return v.size == 0 ? fallback : v[i];
}

// One thread's accumulators: the upper triangle of [X t]' W [X t] (column-major,
// (p + 1) x (p + 1)) built by rank-k updates of scaled rows, the scalar sums, and the
// per-row working arrays of one block.
struct Accumulator {
  std::vector<double> upper;
  std::vector<double> rows;  // block x (p + 1), row-major
  // y, prior weight, x'beta0, linear predictor and eta - offset - x'beta0 of each row,
  // then the family's weight, residual, deviance and Pearson term.
  std::vector<double> y, pw, xb, eta, shift, weight, residual, deviance, pearson;
  PassSums sums;
  std::optional<InformationSums> information;

  void reserve(std::size_t block, std::size_t q, std::size_t p, bool column_sums) {
    upper.assign(q * q, 0.0);
    rows.resize(block * q);
    for (auto* v : {&y, &pw, &xb, &eta, &shift, &weight, &residual, &deviance, &pearson}) v->resize(block);
    sums.column_sums = Vector(column_sums ? p : 0);
  }
};

bool needs_information(const PassOptions& o) {
  return o.observed_information || o.parameter_sums || o.profile_scale > 0.0 ||
         o.derivatives != nullptr;
}

void symmetric_rank_update(std::size_t q, std::size_t count, const double* rows, double* c) {
  const auto qi = static_cast<lapack_int>(q);
  const auto ki = static_cast<lapack_int>(count);
  const double one = 1.0;
  const char uplo = 'U', trans = 'N';
  // Row-major count x q rows are the column-major q x count matrix A; C += A A'.
  lapack::scipy_dsyrk_(&uplo, &trans, &qi, &ki, &one, rows, &qi, &one, c, &qi, 1, 1);
}

// Fills the block's y, prior weights, x'beta0 and linear predictor from the evaluated
// design rows, adding the prior-weighted column sums when asked. On a first pass it also
// checks the responses against the family, adds the response-only sums and, unless one
// pass suffices, linearises at the starting linear predictor from the response (`shift`
// carries eta_start - offset - x'beta0 into the working response).
Status linearise(const families::ResponseModel& model, const RowData& data, VectorView beta0,
                 const PassOptions& options, std::size_t first, std::size_t count,
                 Accumulator& a) {
  const std::size_t p = beta0.size, q = p + 1;
  PassSums& s = a.sums;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t r = first + i;
    const double* row = a.rows.data() + i * q;
    a.y[i] = data.response[r];
    a.pw[i] = at_or(data.weights, r, 1.0);
    if (options.column_sums) {
      for (std::size_t j = 0; j < p; ++j) s.column_sums[j] += a.pw[i] * row[j];
    }
    double xb = 0.0;
    for (std::size_t j = 0; j < p; ++j) xb += row[j] * beta0[j];
    a.xb[i] = xb;
    a.eta[i] = at_or(data.offset, r, 0.0) + xb;
    a.shift[i] = 0.0;
  }
  if (!options.from_response) {
    if (options.response_sums) {
      model.family().add_response_sums(model.parameters(), a.y.data(), a.pw.data(), count,
                                       s.response);
    }
    return {};
  }
  return start_from_response(model, data.offset,
                             {a.y.data(), a.pw.data(), a.xb.data(), a.eta.data(), a.shift.data(),
                              first, count},
                             0, s.response);
}

// Adds the block's working rows to the sums and scales each design row by the square root
// of its working weight, with the working response t = shift + residual in column p.
void reduce_block(const families::ResponseModel& model, bool first_pass, Accumulator& a,
                  std::size_t count, std::size_t p) {
  const std::size_t q = p + 1;
  PassSums& s = a.sums;
  count_edges(model, first_pass, a.y.data(), a.pw.data(), a.weight.data(), count,
              s.edge_responses, s.edge_rows);
  for (std::size_t i = 0; i < count; ++i) {
    double* row = a.rows.data() + i * q;
    s.weight_sum += a.pw[i];
    if (a.pw[i] > 0.0) s.rows += 1.0;
    const double t = a.shift[i] + a.residual[i];
    if (!std::isfinite(a.deviance[i]) || !std::isfinite(a.weight[i]) || !std::isfinite(t) ||
        !(a.weight[i] >= 0.0)) {
      s.finite = false;
    }
    s.deviance += a.deviance[i];
    s.pearson += a.pearson[i];
    const double sw = std::sqrt(a.weight[i]);
    for (std::size_t j = 0; j < p; ++j) row[j] *= sw;
    row[p] = sw * t;
  }
}

// The threads' accumulators summed in part order, with the cross products unpacked from
// the upper triangle of the extended matrix.
PassSums gather(const std::vector<Accumulator>& acc, std::size_t used, std::size_t p,
                bool column_sums) {
  const std::size_t q = p + 1;
  PassSums out;
  out.xtwx = Matrix(p, p);
  out.xtwt = Vector(p);
  out.column_sums = Vector(column_sums ? p : 0);
  for (std::size_t part = 0; part < used; ++part) {
    const Accumulator& a = acc[part];
    if (a.upper.empty()) continue;
    PassSums s = a.sums;
    if (a.information) a.information->add_to(s);
    s.xtwx = Matrix(p, p);
    s.xtwt = Vector(p);
    for (std::size_t j = 0; j < p; ++j) {
      for (std::size_t i = 0; i <= j; ++i) {
        s.xtwx(i, j) = a.upper[i + j * q];
        s.xtwx(j, i) = a.upper[i + j * q];
      }
      s.xtwt[j] = a.upper[j + p * q];
    }
    s.ttwt = a.upper[p + p * q];
    out.add(s);
  }
  return out;
}

}  // namespace

Status check_row_inputs(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                        std::size_t n, VectorView weights, VectorView offset) {
  if (columns.size() < layout.input_columns()) {
    return fail(GamError::dimension_mismatch(diag::format(
        "the model reads {} input columns, {} given", layout.input_columns(), columns.size())));
  }
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (columns[c].size != n) {
      return fail(GamError::dimension_mismatch(
          diag::format("input column {} has {} rows, expected {}", c, columns[c].size, n)));
    }
  }
  if ((weights.size != 0 && weights.size != n) || (offset.size != 0 && offset.size != n)) {
    return fail(GamError::dimension_mismatch("weights and offset must have one entry per row"));
  }
  return {};
}

void PassSums::add(const PassSums& o) {
  xtwx += o.xtwx;
  for (std::size_t i = 0; i < xtwt.size(); ++i) xtwt[i] += o.xtwt[i];
  for (std::size_t i = 0; i < column_sums.size(); ++i) column_sums[i] += o.column_sums[i];
  ttwt += o.ttwt;
  deviance += o.deviance;
  pearson += o.pearson;
  weight_sum += o.weight_sum;
  rows += o.rows;
  edge_rows += o.edge_rows;
  edge_responses += o.edge_responses;
  response.add(o.response);
  finite = finite && o.finite;
  observed = observed || o.observed;
  if (o.correction.rows() > 0) {
    if (correction.rows() == 0) correction = Matrix(o.correction.rows(), o.correction.cols());
    correction += o.correction;
  }
  if (o.parameter.xg1.size() > 0) parameter.add(o.parameter);
  profile.add(o.profile);
  derivatives.add(o.derivatives);
}

Result<PassSums> accumulate(const terms::ModelLayout& layout, const RowData& data,
                            const families::ResponseModel& model, VectorView beta0,
                            const PassOptions& options) {
  const std::size_t n = data.rows();
  const std::size_t p = layout.width();
  const std::size_t q = p + 1;
  if (auto ok = check_row_inputs(layout, data.columns, n, data.weights, data.offset); !ok) {
    return fail(ok.error());
  }
  if (beta0.size != p) {
    return fail(GamError::dimension_mismatch(
        diag::format("{} coefficients for a design of {} columns", beta0.size, p)));
  }
  if (options.derivatives != nullptr &&
      (options.derivatives->h_inverse.rows() != p || options.derivatives->h_inverse.cols() != p ||
       options.derivatives->dbeta.rows() != p || options.derivatives->dbeta.cols() == 0)) {
    return fail(GamError::dimension_mismatch(
        "the derivative pass's inverse and coefficient derivatives do not match the design"));
  }
  const std::size_t block = std::max<std::size_t>(options.block_rows, 1);
  std::vector<Accumulator> acc(part_count(n, block, options.threads));

  auto body = [&](std::size_t part, std::size_t first, std::size_t count) -> Status {
    Accumulator& a = acc[part];
    if (a.upper.empty()) a.reserve(block, q, p, options.column_sums);
    double* rows = a.rows.data();
    if (auto ok = layout.evaluate_rows(data.columns, first, count, rows, q); !ok) return ok;
    if (auto ok = linearise(model, data, beta0, options, first, count, a); !ok) return ok;
    const families::RowsIn family_rows{a.y.data(), a.eta.data(), a.pw.data(), count};
    model.working(family_rows, {a.weight.data(), a.residual.data(), a.deviance.data(), a.pearson.data()});
    if (needs_information(options)) {
      if (!a.information) a.information.emplace(model, options, block, p);
      a.information->add_block({rows, q, p, family_rows}, a.weight.data(), a.residual.data());
    }
    reduce_block(model, options.from_response, a, count, p);
    symmetric_rank_update(q, count, rows, a.upper.data());
    return {};
  };

  std::size_t used = 0;
  if (auto ok = for_each_block(n, block, acc.size(), body, &used); !ok) return fail(ok.error());
  return gather(acc, used, p, options.column_sums);
}

Status linear_predictor(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                        VectorView beta, VectorView offset, std::span<double> out,
                        std::size_t threads) {
  const std::size_t n = out.size();
  const std::size_t p = layout.width();
  if (auto ok = check_row_inputs(layout, columns, n, {}, offset); !ok) return ok;
  if (beta.size != p) {
    return fail(GamError::dimension_mismatch(
        diag::format("{} coefficients for a design of {} columns", beta.size, p)));
  }
  const std::size_t block = kPassBlockRows;
  std::vector<std::vector<double>> buffers(part_count(n, block, threads));
  return for_each_block(n, block, buffers.size(), [&](std::size_t part, std::size_t first,
                                                      std::size_t count) -> Status {
    auto& buf = buffers[part];
    buf.resize(block * p);
    if (auto ok = layout.evaluate_rows(columns, first, count, buf.data(), p); !ok) return ok;
    for (std::size_t i = 0; i < count; ++i) {
      const double* row = buf.data() + i * p;
      double eta = at_or(offset, first + i, 0.0);
      for (std::size_t j = 0; j < p; ++j) eta += row[j] * beta[j];
      out[first + i] = eta;
    }
    return {};
  });
}

}  // namespace velkan::passes
