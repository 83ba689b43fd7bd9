#include "engine/passes/accumulate.h"

#include <algorithm>
#include <cmath>
#include <math.h>
#include <vector>

#include "diag/format.h"
#include "linalg/lapack.h"
#include "engine/passes/row_blocks.h"

namespace velkan::passes {

namespace {

using lapack::lapack_int;

double at_or(VectorView v, std::size_t i, double fallback) {
  return v.size == 0 ? fallback : v[i];
}


// One thread's accumulators: the upper triangle of [X t]' W [X t] (column-major,
// (p + 1) x (p + 1)) built by rank-k updates of scaled rows, and the scalar sums.
struct Accumulator {
  std::vector<double> upper;
  std::vector<double> rows;  // block x (p + 1), row-major
  PassSums sums;
};

// log Gamma(x) for x > 0 without the global sign variable std::lgamma writes: passes run
// on several threads.
double log_gamma(double x) {
  int sign = 0;
  return ::lgamma_r(x, &sign);
}

// One row's share of the response sums (see PassSums).
void add_response_terms(GlmFamily family, double y, double pw, double e, double off,
                        PassSums& s) {
  s.response_sum += pw * y;
  s.residual_sum += pw * e;
  s.residual_square_sum += pw * e * e;
  if (off != 0.0) s.offset_rows += 1.0;
  if (pw == 0.0) return;
  auto xlogx = [](double x) { return x > 0.0 ? x * std::log(x) : 0.0; };
  switch (family) {
    case GlmFamily::Gaussian: break;
    case GlmFamily::Binomial:
      s.saturated_sum += pw * (xlogx(y) + xlogx(1.0 - y));
      s.log_normaliser += log_gamma(pw + 1.0) - log_gamma(pw * y + 1.0) -
                          log_gamma(pw * (1.0 - y) + 1.0);
      break;
    case GlmFamily::Poisson:
      s.saturated_sum += pw * xlogx(y);
      s.log_normaliser -= pw * log_gamma(y + 1.0);
      break;
    case GlmFamily::Gamma: s.saturated_sum += pw * std::log(y); break;
  }
}

void symmetric_rank_update(std::size_t q, std::size_t count, const double* rows, double* c) {
  const auto qi = static_cast<lapack_int>(q);
  const auto ki = static_cast<lapack_int>(count);
  const double one = 1.0;
  const char uplo = 'U', trans = 'N';
  // Row-major count x q rows are the column-major q x count matrix A; C += A A'.
  lapack::scipy_dsyrk_(&uplo, &trans, &qi, &ki, &one, rows, &qi, &one, c, &qi, 1, 1);
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
  response_sum += o.response_sum;
  residual_sum += o.residual_sum;
  residual_square_sum += o.residual_square_sum;
  saturated_sum += o.saturated_sum;
  log_normaliser += o.log_normaliser;
  offset_rows += o.offset_rows;
  finite = finite && o.finite;
}

Result<PassSums> accumulate(const terms::ModelLayout& layout, const RowData& data,
                            GlmFamily family, VectorView beta0, const PassOptions& options) {
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
  const std::size_t block = std::max<std::size_t>(options.block_rows, 1);
  const std::size_t parts = std::max<std::size_t>(options.threads, 1);
  std::vector<Accumulator> acc(std::min(parts, std::max<std::size_t>((n + block - 1) / block, 1)));

  auto body = [&](std::size_t part, std::size_t first, std::size_t count) -> Status {
    Accumulator& a = acc[part];
    if (a.upper.empty()) {
      a.upper.assign(q * q, 0.0);
      a.rows.resize(block * q);
      a.sums.column_sums = Vector(options.column_sums ? p : 0);
    }
    double* rows = a.rows.data();
    if (auto ok = layout.evaluate_rows(data.columns, first, count, rows, q); !ok) return ok;
    PassSums& s = a.sums;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t r = first + i;
      double* row = rows + i * q;
      const double y = data.response[r];
      const double pw = at_or(data.weights, r, 1.0);
      if (options.column_sums) {
        for (std::size_t j = 0; j < p; ++j) s.column_sums[j] += pw * row[j];
      }
      const double off = at_or(data.offset, r, 0.0);
      double xb = 0.0;
      for (std::size_t j = 0; j < p; ++j) xb += row[j] * beta0[j];
      double shift = 0.0;  // eta - offset - x'beta0
      double eta = off + xb;
      if (options.from_response) {
        if (!in_support(family, y)) {
          return fail(GamError::invalid_parameter(diag::format(
              "response {} at row {} is outside the support of the {} family", y, r,
              family == GlmFamily::Gaussian ? "gaussian"
              : family == GlmFamily::Binomial ? "binomial"
              : family == GlmFamily::Poisson  ? "poisson"
                                              : "gamma")));
        }
        add_response_terms(family, y, pw, y - off - xb, off, s);
        if (family != GlmFamily::Gaussian) {
          eta = starting_eta(family, y, pw);
          shift = eta - off - xb;
        }
      }
      s.weight_sum += pw;
      if (pw > 0.0) s.rows += 1.0;
      const WorkingRow w = working_row(family, y, eta, pw);
      const double t = shift + w.residual;
      if (!std::isfinite(w.deviance) || !std::isfinite(w.weight) || !std::isfinite(t) ||
          !(w.weight >= 0.0)) {
        s.finite = false;
      }
      s.deviance += w.deviance;
      s.pearson += w.pearson;
      const double sw = std::sqrt(w.weight);
      for (std::size_t j = 0; j < p; ++j) row[j] *= sw;
      row[p] = sw * t;
    }
    symmetric_rank_update(q, count, rows, a.upper.data());
    return {};
  };

  std::size_t used = 0;
  if (auto ok = for_each_block(n, block, acc.size(), body, &used); !ok) return fail(ok.error());

  PassSums out;
  out.xtwx = Matrix(p, p);
  out.xtwt = Vector(p);
  out.column_sums = Vector(options.column_sums ? p : 0);
  for (std::size_t part = 0; part < used; ++part) {
    const Accumulator& a = acc[part];
    if (a.upper.empty()) continue;
    PassSums s = a.sums;
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
  std::vector<std::vector<double>> buffers(std::max<std::size_t>(threads, 1));
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
