// What a fitted model says about each row, computed a block of rows at a time on `threads`
// threads with Ctrl-C polled between blocks: residuals of the four usual kinds, responses
// drawn from the fitted distribution, and the rows of the constrained design.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common/gam_error.h"
#include "engine/families/family.h"
#include "engine/terms/layout.h"
#include "linalg/matrix.h"

namespace velkan::passes {

// With mu = g^-1(eta), prior weight w and the family's variance function V:
//   Response  y - mu
//   Pearson   (y - mu) sqrt(w / V(mu))
//   Deviance  sign(y - mu) sqrt(w d(y, mu)),  d the unit deviance (its sum is the deviance)
//   Working   (y - mu) / (dmu/deta), the working residual of penalized IRLS
// Pearson and deviance residuals use the family's own accurate forms for its default link
// (Family::working), so they keep their digits where the composition would cancel.
enum class ResidualKind { Response, Pearson, Deviance, Working };
std::optional<ResidualKind> parse_residual_kind(std::string_view name);

// y, eta and out have one entry per row; weights is empty (all ones) or as long. Refused:
// lengths that differ (DimensionMismatch); an interrupt.
Status residuals(const families::ResponseModel& model, VectorView y, VectorView eta,
                 VectorView weights, ResidualKind kind, std::span<double> out,
                 std::size_t threads = 1);

// `replicates` responses for each row of mean mu (weights empty: all ones) at dispersion
// `scale`, into out (replicates x rows, row-major: replicate r of row i at r * rows + i).
// Row i draws from its own generator seeded by (seed, first_row + i) (families/random.h):
// the same seed gives the same draws for a row whatever the threads or the chunking. Rows
// of zero weight get NaN. Refused (InvalidParameter): a family or weight that defines no
// distribution (naming the row and what the family needs), a scale that is not positive
// and finite; lengths that differ (DimensionMismatch); an interrupt.
Status draw_responses(const families::ResponseModel& model, VectorView mu, VectorView weights,
                      double scale, std::uint64_t seed, std::uint64_t first_row,
                      std::size_t replicates, std::span<double> out, std::size_t threads = 1);

// The constrained design rows (coefficients() columns; times the fit's centred
// coefficients they give the linear predictor less the offset) of the input columns, into
// out (rows x coefficients(), row-major). Refused as linear_predictor refuses.
Status model_matrix(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                    std::size_t rows, std::span<double> out, std::size_t threads = 1);

}  // namespace velkan::passes
