#include "engine/passes/row_values.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "diag/format.h"
#include "engine/passes/accumulate.h"
#include "engine/passes/row_blocks.h"

namespace velkan::passes {

namespace {

constexpr std::size_t kRowBlock = 2048;

double sign_of(double r) { return r > 0.0 ? 1.0 : (r < 0.0 ? -1.0 : 0.0); }

// The family's working quantities of one block (weights, working residuals, deviance and
// Pearson terms), as a pass of the fit computes them.
struct WorkingBlock {
  std::vector<double> y, eta, pw, weight, residual, deviance, pearson;
  void resize(std::size_t n) {
    for (auto* v : {&y, &eta, &pw, &weight, &residual, &deviance, &pearson}) v->resize(n);
  }
};

}  // namespace

std::optional<ResidualKind> parse_residual_kind(std::string_view name) {
  if (name == "response") return ResidualKind::Response;
  if (name == "pearson") return ResidualKind::Pearson;
  if (name == "deviance") return ResidualKind::Deviance;
  if (name == "working") return ResidualKind::Working;
  return std::nullopt;
}

Status residuals(const families::ResponseModel& model, VectorView y, VectorView eta,
                 VectorView weights, ResidualKind kind, std::span<double> out,
                 std::size_t threads) {
  const std::size_t n = y.size;
  if (eta.size != n || out.size() != n || (weights.size != 0 && weights.size != n)) {
    return fail(GamError::dimension_mismatch(
        diag::format("residuals of {} responses need as many linear predictors, weights and "
                     "outputs ({}, {}, {})", n, eta.size, weights.size, out.size())));
  }
  const families::Link& link = model.link();
  std::vector<WorkingBlock> blocks(std::max<std::size_t>(threads, 1));
  return for_each_block(n, kRowBlock, blocks.size(), [&](std::size_t part, std::size_t first,
                                                         std::size_t count) -> Status {
    WorkingBlock& b = blocks[part];
    b.resize(count);
    std::vector<double>&yb = b.y, &eb = b.eta;
    for (std::size_t i = 0; i < count; ++i) {
      yb[i] = y[first + i];
      eb[i] = eta[first + i];
      b.pw[i] = weights.size == 0 ? 1.0 : weights[first + i];
    }
    if (kind == ResidualKind::Pearson || kind == ResidualKind::Deviance) {
      model.working({yb.data(), eb.data(), b.pw.data(), count},
                    {b.weight.data(), b.residual.data(), b.deviance.data(), b.pearson.data()});
    }
    for (std::size_t i = 0; i < count; ++i) {
      const double r = yb[i] - link.inverse(eb[i]);
      double v = r;
      if (kind == ResidualKind::Working) v = r / link.mu_eta(eb[i]);
      if (kind == ResidualKind::Pearson) v = sign_of(r) * std::sqrt(std::max(b.pearson[i], 0.0));
      if (kind == ResidualKind::Deviance) v = sign_of(r) * std::sqrt(std::max(b.deviance[i], 0.0));
      out[first + i] = v;
    }
    return {};
  });
}

Status draw_responses(const families::ResponseModel& model, VectorView mu, VectorView weights,
                      double scale, std::uint64_t seed, std::uint64_t first_row,
                      std::size_t replicates, std::span<double> out, std::size_t threads) {
  const std::size_t n = mu.size;
  if ((weights.size != 0 && weights.size != n) || out.size() != n * replicates) {
    return fail(GamError::dimension_mismatch(diag::format(
        "{} draws of {} rows need {} weights and {} outputs, got {} and {}", replicates, n, n,
        n * replicates, weights.size, out.size())));
  }
  if (!(scale > 0.0) || !std::isfinite(scale)) {
    return fail(GamError::invalid_parameter(
        diag::format("responses are drawn at a positive finite scale, got {}", scale)));
  }
  const families::Family& family = model.family();
  const auto params = model.parameters();
  return for_each_block(n, kRowBlock, std::max<std::size_t>(threads, 1),
                        [&](std::size_t, std::size_t first, std::size_t count) -> Status {
    for (std::size_t i = first; i < first + count; ++i) {
      const double w = weights.size == 0 ? 1.0 : weights[i];
      if (w > 0.0 && !std::isfinite(mu[i])) {
        return fail(GamError::invalid_parameter(diag::format(
            "cannot draw a response at row {}: its mean is {}", first_row + i, mu[i])));
      }
      families::RowRandom rng(seed, first_row + i);
      for (std::size_t r = 0; r < replicates; ++r) {
        const double v = w > 0.0 ? family.draw(mu[i], w, scale, params, rng)
                                 : std::numeric_limits<double>::quiet_NaN();
        if (std::isnan(v) && w > 0.0) {
          return fail(GamError::invalid_parameter(diag::format(
              "cannot draw a response of the {} family at row {} (mean {}, prior weight {}): {}",
              model.info().name, first_row + i, mu[i], w, family.draw_requirement())));
        }
        out[r * n + i] = v;
      }
    }
    return {};
  });
}

Status model_matrix(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                    std::size_t rows, std::span<double> out, std::size_t threads) {
  const std::size_t p = layout.width(), q = layout.coefficients();
  if (auto ok = check_row_inputs(layout, columns, rows, {}, {}); !ok) return ok;
  if (out.size() != rows * q) {
    return fail(GamError::dimension_mismatch("the model matrix needs rows x coefficients entries"));
  }
  std::vector<std::vector<double>> buffers(std::max<std::size_t>(threads, 1));
  return for_each_block(rows, kRowBlock, buffers.size(),
                        [&](std::size_t part, std::size_t first, std::size_t count) -> Status {
    auto& buf = buffers[part];
    buf.resize(kRowBlock * p);
    if (auto ok = layout.evaluate_rows(columns, first, count, buf.data(), p); !ok) return ok;
    layout.constrain_rows(buf.data(), count, p, out.data() + first * q, q);
    return {};
  });
}

}  // namespace velkan::passes
