// Removal of weak terms after a REML search (select_terms): a marginal-AIC check per term.
//
// A term whose every penalty is removable (select_terms gives its null space a penalty of
// its own, so that all its coefficients are penalized) is compared with the model without
// it: its smoothing parameters at the search's upper bound (its coefficients shrunk to a
// negligible share of a degree of freedom), the others re-optimised from their current
// values where the step's search had them free, held otherwise. V is the negative log
// restricted likelihood; removing a term of k smoothing parameters changes the marginal
// AIC 2 V + 2 (parameters) by 2 (dV - k), so the term goes when dV < k. Terms are tried
// weakest first (the smallest dV - k), and the check is repeated on the model left after
// each removal.
//
// Under a null, 2 dV of one variance component is a 50:50 mixture of chi2_0 and chi2_1,
// so a price of one unit per parameter keeps a pure-noise term with probability about
// 0.5 P(chi2_1 > 2) = 0.079 (one parameter) or 0.5 P(chi2_1 > 4) + 0.25 P(chi2_2 > 4) =
// 0.057 (two). REML alone keeps it about half the time.
//
// Everything comes from the working problem's cross products: no pass over the data.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/select/search.h"

namespace velkan::select {

// A term whose removal raises V by more than its price plus this is kept without
// re-optimising the other smoothing parameters (V with them held is an upper bound of V
// with them re-optimised; only concurvity of several log-likelihood units could close such
// a gap, and then the other terms stand in for it anyway).
inline constexpr double kRemovalScreen = 10.0;

struct RemovalInput {
  const WorkingProblem* problem = nullptr;
  double known_scale = 0.0;
  const SearchOptions* options = nullptr;  // the step's search: its bounds and tolerances
  std::vector<bool> free;                  // re-optimised when a term is removed
  // One group of penalty indices per removable term, and the log smoothing parameter
  // each penalty takes when its term is removed.
  std::vector<std::vector<std::size_t>> groups;
  Vector removed_rho;
};

// Applies the check to `result` (REML's end point), replacing it by the end point without
// each removed term; returns the indices into `groups` of the terms removed, in order.
Result<std::vector<std::size_t>> remove_weak_terms(const RemovalInput& in, SearchResult& result);

// The removable terms of a layout: the penalties of each term all of whose penalties are
// flagged `removable` (one flag per penalty).
std::vector<std::vector<std::size_t>> removable_groups(const terms::ModelLayout& layout,
                                                       const std::vector<bool>& removable);

}  // namespace velkan::select
