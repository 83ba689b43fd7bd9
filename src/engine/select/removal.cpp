#include "engine/select/removal.h"

#include <optional>
#include <utility>

namespace velkan::select {

namespace {

// The end point without the terms of `removed` (one flag per penalty): their smoothing
// parameters at the removal value, the others searched from `at` where `in.free` says.
// None when, with the others held, V already rises by more than `price` + kRemovalScreen.
Result<std::optional<SearchResult>> without(const RemovalInput& in, const SearchResult& at,
                                            const std::vector<bool>& removed, double price) {
  Vector rho = at.rho;
  SearchOptions opt = *in.options;
  std::vector<bool> free = in.free;
  for (std::size_t j = 0; j < removed.size(); ++j) {
    if (!removed[j]) continue;
    rho[j] = opt.lower[j] = opt.upper[j] = in.removed_rho[j];
    free[j] = false;
  }
  auto held = evaluate(*in.problem, Criterion::Reml, in.known_scale, rho.view(), 0);
  if (!held) return fail(held.error());
  if (!held->defined || held->score - at.at.score >= price + kRemovalScreen) return std::nullopt;
  auto search = newton_search(*in.problem, Criterion::Reml, in.known_scale, rho.view(), free, opt);
  if (!search) return fail(search.error());
  if (!search->at.defined) return std::nullopt;
  return std::optional<SearchResult>(std::move(*search));
}

// The end point carries the first search's exit unless its own search fell short.
void take(SearchResult& result, SearchResult&& next) {
  const SearchExit exit = result.exit;
  const std::size_t iterations = result.iterations + next.iterations;
  const std::size_t evaluations = result.score_evaluations + next.score_evaluations;
  const bool fine = next.exit == SearchExit::Converged || next.exit == SearchExit::NoFreeParameters;
  result = std::move(next);
  if (fine) result.exit = exit;
  result.iterations = iterations;
  result.score_evaluations = evaluations;
}

}  // namespace

Result<std::vector<std::size_t>> remove_weak_terms(const RemovalInput& in, SearchResult& result) {
  std::vector<std::size_t> out;
  std::vector<bool> removed(in.removed_rho.size(), false), gone(in.groups.size(), false);
  for (;;) {
    std::optional<std::size_t> weakest;
    std::optional<SearchResult> best;
    double best_excess = 0.0;
    for (std::size_t g = 0; g < in.groups.size(); ++g) {
      if (gone[g]) continue;
      std::vector<bool> trial = removed;
      for (std::size_t j : in.groups[g]) trial[j] = true;
      const double price = static_cast<double>(in.groups[g].size());
      auto end = without(in, result, trial, price);
      if (!end) return fail(end.error());
      if (!*end) continue;
      const double excess = (*end)->at.score - result.at.score - price;
      if (excess < best_excess) {
        best_excess = excess;
        weakest = g;
        best = std::move(*end);
      }
    }
    if (!weakest) return out;
    gone[*weakest] = true;
    for (std::size_t j : in.groups[*weakest]) removed[j] = true;
    take(result, std::move(*best));
    out.push_back(*weakest);
  }
}

std::vector<std::vector<std::size_t>> removable_groups(const terms::ModelLayout& layout,
                                                       const std::vector<bool>& removable) {
  std::vector<std::vector<std::size_t>> groups(layout.term_count());
  std::vector<bool> whole(layout.term_count(), true);
  const auto& pens = layout.penalties();
  for (std::size_t j = 0; j < pens.size(); ++j) {
    groups[pens[j].term].push_back(j);
    if (j >= removable.size() || !removable[j]) whole[pens[j].term] = false;
  }
  std::vector<std::vector<std::size_t>> out;
  for (std::size_t t = 0; t < groups.size(); ++t)
    if (whole[t] && !groups[t].empty()) out.push_back(std::move(groups[t]));
  return out;
}

}  // namespace velkan::select
