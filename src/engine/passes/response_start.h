// What a first pass does with a block of rows once their linear predictor at beta0 is
// known, the same whether the design rows were evaluated or looked up in bin tables: check
// the responses against the family, add the response-only sums, and linearise at the
// starting linear predictor from the response.
#pragma once

#include <cstddef>

#include "common/gam_error.h"
#include "engine/families/family.h"
#include "linalg/matrix.h"

namespace velkan::passes {

// A block of `count` rows: y, prior weights pw and x'beta0 xb are filled, eta holds
// offset + xb. `offset` is the whole pass's offset (empty: zeros), read from row `first`.
struct StartRows {
  const double* y;
  const double* pw;
  const double* xb;
  double* eta;
  double* shift;
  std::size_t first;
  std::size_t count;
};

// Refuses (InvalidParameter) a response outside the family's support, naming its row as
// `row_base + first + i`; adds the block's response-only sums to `sums`; unless the
// model is linear, replaces eta by the starting linear predictor from the response and
// sets shift = eta_start - offset - xb (which the working response then carries).
Status start_from_response(const families::ResponseModel& model, VectorView offset,
                          const StartRows& rows, std::size_t row_base,
                          families::ResponseSums& sums);

// For the families that warn about exact fits, adds the block's rows whose response lies
// on the edge of the family's range to `edge_responses` (on a first pass only) and, of
// those, the rows whose working weight is below kEdgeWeight of their prior weight (fitted
// on the edge) to `edge_rows`; each row counts as `multiplicity[i]` rows when given.
void count_edges(const families::ResponseModel& model, bool first_pass, const double* y,
                 const double* pw, const double* weight, std::size_t count,
                 double& edge_responses, double& edge_rows, const double* multiplicity = nullptr);

}  // namespace velkan::passes
