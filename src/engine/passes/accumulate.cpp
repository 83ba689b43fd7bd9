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
  std::vector<double> origin;  // the step origin's linear predictor (with step_origin)
  PassSums sums;
  std::optional<InformationSums> information;
  // A sparse term's rows (group and values) and sums: per group its gw x gw block of
  // X'WX, and its gw x (p_d + 1) block against the dense columns and t.
  std::vector<std::size_t> group;
  std::vector<double> values, diagonal, cross, sparse_sums;

  void reserve(std::size_t block, std::size_t q, std::size_t p, bool column_sums) {
    upper.assign(q * q, 0.0);
    rows.resize(block * q);
    for (auto* v : {&y, &pw, &xb, &eta, &shift, &weight, &residual, &deviance, &pearson, &origin}) {
      v->resize(block);
    }
    sums.column_sums = Vector(column_sums ? p : 0);
  }
  void reserve_sparse(std::size_t block, const terms::SparseTerm& s, std::size_t q, bool column_sums) {
    group.resize(block);
    values.resize(block * s.group_width);
    diagonal.assign(s.groups * s.group_width * s.group_width, 0.0);
    cross.assign(s.groups * s.group_width * q, 0.0);
    sparse_sums.assign(column_sums ? s.groups * s.group_width : 0, 0.0);
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

// For the block's count design rows (row-major, p + 1 entries apart): xb += X beta and,
// with pw given, sums += X' pw. Through BLAS, whose kernels keep several sums going.
void add_block_products(const double* rows, std::size_t count, std::size_t p, VectorView beta,
                        double* xb, const double* pw, double* sums) {
  if (count == 0 || p == 0) return;
  const auto m = static_cast<lapack_int>(p), n = static_cast<lapack_int>(count);
  const auto lda = static_cast<lapack_int>(p + 1);
  const lapack_int inc = 1, beta_inc = static_cast<lapack_int>(beta.stride);
  const double one = 1.0;
  // Row-major count x (p + 1) rows are the column-major (p + 1) x count matrix A.
  bool any = false;
  for (std::size_t j = 0; j < p; ++j) any = any || beta[j] != 0.0;
  if (any) {
    const char t = 'T';
    lapack::scipy_dgemv_(&t, &m, &n, &one, rows, &lda, beta.data, &beta_inc, &one, xb, &inc, 1);
  }
  if (pw != nullptr) {
    const char t = 'N';
    lapack::scipy_dgemv_(&t, &m, &n, &one, rows, &lda, pw, &inc, &one, sums, &inc, 1);
  }
}

// The smaller of `bound` and the largest t in [0, 1] with the mean at origin + t (eta -
// origin) inside the family's domain, for one row whose mean at eta is outside it (0 when
// the origin is outside too). The domain of every link and family is an interval of eta,
// so bisection between an inside and an outside point finds its edge; the inside end is
// returned. A row still inside at `bound` cannot lower it and costs one evaluation: with
// the bound carried from row to row, a step that takes every row outside bisects few.
double row_reach(const families::ResponseModel& model, double origin, double eta, double bound) {
  const auto inside = [&](double e) { return model.family().valid_mean(model.link().inverse(e)); };
  if (!inside(origin)) return 0.0;
  if (inside(origin + bound * (eta - origin))) return bound;
  double lo = 0.0, hi = bound;
  while (hi - lo > kReachPrecision) {
    const double mid = 0.5 * (lo + hi);
    (inside(origin + mid * (eta - origin)) ? lo : hi) = mid;
  }
  return lo;
}

// With a step origin: the origin's linear predictor for the block's rows (from the
// unscaled design rows, before reduce_block scales them), and after the family's working
// values, the block's share of PassSums::step_reach.
void origin_predictor(const RowData& data, VectorView origin, std::size_t first, std::size_t count,
                      std::size_t p, Accumulator& a, const double* extra_xb = nullptr) {
  for (std::size_t i = 0; i < count; ++i) a.origin[i] = extra_xb != nullptr ? extra_xb[i] : 0.0;
  add_block_products(a.rows.data(), count, p, origin, a.origin.data(), nullptr, nullptr);
  for (std::size_t i = 0; i < count; ++i) a.origin[i] += at_or(data.offset, first + i, 0.0);
}

void add_step_reach(const families::ResponseModel& model, std::size_t count, Accumulator& a) {
  for (std::size_t i = 0; i < count; ++i) {
    // A row whose working values are finite is inside (Family::working marks a mean
    // outside its domain by NaN).
    if (std::isfinite(a.weight[i]) && std::isfinite(a.deviance[i])) continue;
    a.sums.step_reach = row_reach(model, a.origin[i], a.eta[i], a.sums.step_reach);
  }
}

// Fills the block's y, prior weights, x'beta0 and linear predictor from the evaluated
// design rows, adding the prior-weighted column sums when asked. On a first pass it also
// checks the responses against the family, adds the response-only sums and, unless one
// pass suffices, linearises at the starting linear predictor from the response (`shift`
// carries eta_start - offset - x'beta0 into the working response).
Status linearise(const families::ResponseModel& model, const RowData& data, VectorView beta0,
                 const PassOptions& options, std::size_t first, std::size_t count,
                 Accumulator& a, const double* extra_xb = nullptr) {
  const std::size_t p = beta0.size;
  PassSums& s = a.sums;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t r = first + i;
    a.y[i] = data.response[r];
    a.pw[i] = at_or(data.weights, r, 1.0);
    a.xb[i] = extra_xb != nullptr ? extra_xb[i] : 0.0;
    a.shift[i] = 0.0;
  }
  // X beta0 and the prior-weighted column sums X' pw of the block by matrix-vector
  // products: a row's dot product as a loop is one chain of dependent additions.
  add_block_products(a.rows.data(), count, p, beta0, a.xb.data(),
                     options.column_sums ? a.pw.data() : nullptr, s.column_sums.data());
  for (std::size_t i = 0; i < count; ++i) a.eta[i] = at_or(data.offset, first + i, 0.0) + a.xb[i];
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

// The sparse term's share of x'beta0 for each row of a block.
void sparse_xb(const terms::SparseTerm& sp, const Accumulator& a, VectorView beta0,
               std::size_t count, double* out) {
  const std::size_t gw = sp.group_width;
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = 0.0;
    if (a.group[i] == terms::kNoGroup) continue;
    const double* v = a.values.data() + i * gw;
    const std::size_t o = sp.raw_offset + a.group[i] * gw;
    for (std::size_t c = 0; c < gw; ++c) out[i] += v[c] * beta0[o + c];
  }
}

// Adds the block's sparse rows, scaled by sqrt(w) like the dense rows already are, to their
// groups' blocks (and, when asked, the prior-weighted column sums).
void reduce_sparse(const terms::SparseTerm& sp, Accumulator& a, std::size_t count, std::size_t q,
                   bool column_sums) {
  const std::size_t gw = sp.group_width;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t g = a.group[i];
    if (g == terms::kNoGroup) continue;
    const double* v = a.values.data() + i * gw;
    if (column_sums) {
      for (std::size_t c = 0; c < gw; ++c) a.sparse_sums[g * gw + c] += a.pw[i] * v[c];
    }
    const double sw = std::sqrt(a.weight[i]);
    const double* row = a.rows.data() + i * q;  // already scaled by sqrt(w)
    double* d = a.diagonal.data() + g * gw * gw;
    double* c = a.cross.data() + g * gw * q;
    for (std::size_t x = 0; x < gw; ++x) {
      const double vx = sw * v[x];
      if (vx == 0.0) continue;
      for (std::size_t y = 0; y < gw; ++y) d[x * gw + y] += vx * sw * v[y];
      for (std::size_t j = 0; j < q; ++j) c[x * q + j] += vx * row[j];
    }
  }
}

// Full-width sums from dense accumulators over the dense columns and the sparse blocks.
PassSums gather_sparse(const std::vector<Accumulator>& acc, std::size_t used,
                       const terms::SparseTerm& sp, std::size_t pd, std::size_t p, bool column_sums) {
  PassSums dense = gather(acc, used, pd, column_sums);
  const std::size_t q = pd + 1, gw = sp.group_width, ws = sp.groups * gw;
  auto raw = [&](std::size_t j) { return j < sp.raw_offset ? j : j + ws; };
  PassSums out = dense;
  out.xtwx = Matrix(p, p);
  out.xtwt = Vector(p);
  out.column_sums = Vector(column_sums ? p : 0);
  for (std::size_t i = 0; i < pd; ++i) {
    out.xtwt[raw(i)] = dense.xtwt[i];
    if (column_sums) out.column_sums[raw(i)] = dense.column_sums[i];
    for (std::size_t j = 0; j < pd; ++j) out.xtwx(raw(i), raw(j)) = dense.xtwx(i, j);
  }
  for (std::size_t part = 0; part < used; ++part) {
    const Accumulator& a = acc[part];
    if (a.diagonal.empty()) continue;
    for (std::size_t g = 0; g < sp.groups; ++g)
      for (std::size_t x = 0; x < gw; ++x) {
        const std::size_t r = sp.raw_offset + g * gw + x;
        if (column_sums) out.column_sums[r] += a.sparse_sums[g * gw + x];
        for (std::size_t y = 0; y < gw; ++y) out.xtwx(r, sp.raw_offset + g * gw + y) += a.diagonal[(g * gw + x) * gw + y];
        const double* c = a.cross.data() + (g * gw + x) * q;
        for (std::size_t j = 0; j < pd; ++j) {
          out.xtwx(r, raw(j)) += c[j];
          out.xtwx(raw(j), r) += c[j];
        }
        out.xtwt[r] += c[pd];
      }
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
  step_reach = std::min(step_reach, o.step_reach);
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

namespace {

// Ok when the rows, the coefficients and what the options carry fit the layout.
Status check_pass_inputs(const terms::ModelLayout& layout, const RowData& data, VectorView beta0,
                         const PassOptions& options) {
  const std::size_t p = layout.width();
  if (auto ok = check_row_inputs(layout, data.columns, data.rows(), data.weights, data.offset); !ok) {
    return ok;
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
  if (options.step_origin.size != 0 && options.step_origin.size != p) {
    return fail(GamError::dimension_mismatch(diag::format(
        "{} step-origin coefficients for a design of {} columns", options.step_origin.size, p)));
  }
  return {};
}

}  // namespace

Result<PassSums> accumulate(const terms::ModelLayout& layout, const RowData& data,
                            const families::ResponseModel& model, VectorView beta0,
                            const PassOptions& options) {
  const std::size_t n = data.rows();
  const std::size_t p = layout.width();
  const std::size_t q = p + 1;
  if (auto ok = check_pass_inputs(layout, data, beta0, options); !ok) return fail(ok.error());
  const bool reach = options.step_origin.size != 0;
  const std::size_t block = std::max<std::size_t>(options.block_rows, 1);
  std::vector<Accumulator> acc(part_count(n, block, options.threads));

  auto body = [&](std::size_t part, std::size_t first, std::size_t count) -> Status {
    Accumulator& a = acc[part];
    if (a.upper.empty()) a.reserve(block, q, p, options.column_sums);
    double* rows = a.rows.data();
    if (auto ok = layout.evaluate_rows(data.columns, first, count, rows, q); !ok) return ok;
    if (auto ok = linearise(model, data, beta0, options, first, count, a); !ok) return ok;
    if (reach) origin_predictor(data, options.step_origin, first, count, p, a);
    const families::RowsIn family_rows{a.y.data(), a.eta.data(), a.pw.data(), count};
    model.working(family_rows, {a.weight.data(), a.residual.data(), a.deviance.data(), a.pearson.data()});
    if (reach) add_step_reach(model, count, a);
    if (needs_information(options)) {
      if (!a.information) a.information.emplace(model, options, block, p);
      a.information->add_block({rows, q, p, family_rows}, a.weight.data(), a.residual.data());
    }
    reduce_block(model, options.from_response, a, count, p);
    // A pass with a row outside the family's domain is a step too far, whose cross products
    // nobody reads: once a thread has met one, it saves their rank-k updates (most of a
    // pass), and keeps only what says how far the step may go.
    if (options.derivatives == nullptr && options.cross_products && a.sums.finite) {
      symmetric_rank_update(q, count, rows, a.upper.data());
    }
    return {};
  };

  std::size_t used = 0;
  if (const auto& sp = layout.sparse(); sp) {
    // The sparse term's columns never enter the dense rows: each row adds to its group's
    // blocks only (O(gw (p_d + gw)) per row instead of O(p^2)).
    const std::size_t pd = layout.dense_width(), qd = pd + 1;
    const auto dense_part = [&](VectorView beta) {
      Vector out(pd);
      for (std::size_t j = 0, k = 0; j < p; ++j)
        if (j < sp->raw_offset || j >= sp->raw_offset + sp->groups * sp->group_width) out[k++] = beta[j];
      return out;
    };
    const Vector beta_dense = dense_part(beta0);
    const Vector origin_dense = reach ? dense_part(options.step_origin) : Vector(0);
    auto sparse_body = [&](std::size_t part, std::size_t first, std::size_t count) -> Status {
      Accumulator& a = acc[part];
      if (a.upper.empty()) {
        a.reserve(block, qd, pd, options.column_sums);
        a.reserve_sparse(block, *sp, qd, options.column_sums);
      }
      double* rows = a.rows.data();
      if (auto ok = layout.evaluate_split(data.columns, first, count, rows, qd, a.group.data(), a.values.data()); !ok)
        return ok;
      std::vector<double> extra(count);
      sparse_xb(*sp, a, beta0, count, extra.data());
      if (auto ok = linearise(model, data, beta_dense.view(), options, first, count, a, extra.data()); !ok) return ok;
      if (reach) {
        sparse_xb(*sp, a, options.step_origin, count, extra.data());
        origin_predictor(data, origin_dense.view(), first, count, pd, a, extra.data());
      }
      model.working({a.y.data(), a.eta.data(), a.pw.data(), count},
                    {a.weight.data(), a.residual.data(), a.deviance.data(), a.pearson.data()});
      if (reach) add_step_reach(model, count, a);
      reduce_block(model, options.from_response, a, count, pd);
      reduce_sparse(*sp, a, count, qd, options.column_sums);
      if (options.cross_products) symmetric_rank_update(qd, count, rows, a.upper.data());
      return {};
    };
    if (auto ok = for_each_block(n, block, acc.size(), sparse_body, &used); !ok) return fail(ok.error());
    return gather_sparse(acc, used, *sp, pd, p, options.column_sums);
  }
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
  if (const auto& sp = layout.sparse(); sp) {
    const std::size_t pd = layout.dense_width(), gw = sp->group_width, ws = sp->groups * gw;
    std::vector<std::vector<std::size_t>> groups(buffers.size());
    std::vector<std::vector<double>> values(buffers.size());
    return for_each_block(n, block, buffers.size(), [&](std::size_t part, std::size_t first,
                                                        std::size_t count) -> Status {
      auto& buf = buffers[part];
      buf.resize(block * pd);
      groups[part].resize(block);
      values[part].resize(block * gw);
      if (auto ok = layout.evaluate_split(columns, first, count, buf.data(), pd, groups[part].data(),
                                          values[part].data());
          !ok)
        return ok;
      for (std::size_t i = 0; i < count; ++i) {
        const double* row = buf.data() + i * pd;
        double eta = at_or(offset, first + i, 0.0);
        for (std::size_t j = 0; j < pd; ++j) eta += row[j] * beta[j < sp->raw_offset ? j : j + ws];
        const std::size_t g = groups[part][i];
        if (g != terms::kNoGroup) {
          for (std::size_t c = 0; c < gw; ++c) eta += values[part][i * gw + c] * beta[sp->raw_offset + g * gw + c];
        }
        out[first + i] = eta;
      }
      return {};
    });
  }
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
