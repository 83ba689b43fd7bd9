#include "velkan_core/reml/residual_sums.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "velkan_core/reml/criterion.h"

namespace velkan {

ResidualSums::ResidualSums(VectorView y, MatrixView x, VectorView w) : y_(y), x_(x), w_(w) {}

ResidualSums::ResidualSums(VectorView y, MatrixView x, VectorView w, const Matrix& xtwx,
                           const Vector& xtwy, double ywy, ResidualAnchor* shared)
    : y_(y), x_(x), w_(w), xtwx_(&xtwx) {
  if (shared) anchor_ = shared;
  if (!anchor_->valid && !std::isnan(ywy))
    *anchor_ = ResidualAnchor{true, Vector(x.cols), ResidualProducts{ywy, xtwy}};
}

ResidualProducts ResidualSums::at(const Vector& beta) {
  if (xtwx_ && anchor_->valid) {
    const ResidualProducts& at0 = anchor_->sums;
    const std::size_t p = beta.size();
    Vector d(p);
    for (std::size_t j = 0; j < p; ++j) d[j] = beta[j] - anchor_->beta[j];
    const Vector xtwx_d = matvec(*xtwx_, d);
    ResidualProducts out{0.0, Vector(p)};
    for (std::size_t j = 0; j < p; ++j) out.xtwr[j] = at0.xtwr[j] - xtwx_d[j];
    out.rss = at0.rss - dot(d, at0.xtwr) - dot(d, out.xtwr);
    double spread = std::sqrt(std::max(at0.rss, 0.0));
    for (std::size_t j = 0; j < p; ++j)
      spread += std::abs(d[j]) * std::sqrt(std::max((*xtwx_)(j, j), 0.0));
    // NaN anywhere fails the comparison and sends the evaluation to the data.
    if (out.rss >= kRemlRssCancellationLimit * spread * spread) return out;
  }
  ResidualProducts fresh = compute_residual_products(x_, w_, y_, beta);
  if (xtwx_) *anchor_ = ResidualAnchor{true, beta, fresh};
  return fresh;
}

}  // namespace velkan
