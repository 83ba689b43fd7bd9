#include "engine/terms/registry.h"

#include <array>

#include "diag/format.h"

namespace velkan::terms {

Result<std::shared_ptr<const TermBasis>> make_intercept(const TermSpec& spec, std::size_t index);
Result<std::shared_ptr<const TermBasis>> make_linear(const TermSpec& spec, std::size_t index);
Result<std::shared_ptr<const TermBasis>> make_factor(const TermSpec& spec, std::size_t index);
Result<std::shared_ptr<const TermBasis>> make_smooth(const TermSpec& spec, std::size_t index);
Result<std::shared_ptr<const TermBasis>> make_thin_plate(const TermSpec& spec, std::size_t index);
Result<std::shared_ptr<const TermBasis>> make_random_effect(const TermSpec& spec, std::size_t index);

std::span<const TermKindInfo> term_kinds() {
  static constexpr std::array<TermKindInfo, 6> kinds{{
      {"intercept", make_intercept},
      {"linear", make_linear},
      {"factor", make_factor},
      {"smooth", make_smooth},
      {"thin_plate", make_thin_plate},
      {"random", make_random_effect},
  }};
  return kinds;
}

Result<std::shared_ptr<const TermBasis>> make_term(const TermSpec& spec, std::size_t index) {
  for (const TermKindInfo& k : term_kinds())
    if (k.name == spec.kind) return k.create(spec, index);
  return fail(GamError::invalid_parameter(
      diag::format("term {} has an unknown kind \"{}\"", index, spec.kind)));
}

std::size_t memory_estimate(const TermSpec& spec) {
  if (spec.kind == "random") {
    const std::size_t levels = std::min(spec.levels, kMaxTermWidth);
    return 16 * levels * levels;
  }
  if (spec.kind == "thin_plate") {
    // The points and transform are stored in the spec itself; the penalty is k x k.
    const std::size_t k = std::min(spec.k, kMaxTermWidth);
    return 8 * (k * k * 3 + spec.transform.rows() * spec.transform.cols());
  }
  std::size_t width = (spec.by == kByFactor || spec.by == kByRandom) ? std::max<std::size_t>(spec.levels, 1) : 1;
  if (width > kMaxTermWidth) return 0;
  for (const MarginSpec& m : spec.margins) {
    // A basis larger than any term may be is refused when the term is built, before
    // anything of that size is allocated.
    if (m.k > kMaxTermWidth || width > kMaxTermWidth) return 0;
    width *= m.k;
  }
  if (spec.margins.empty()) return 64;
  // Each penalty and its root as dense width x width blocks, plus the margins' own.
  return 8 * width * width * (spec.margins.size() + 2);
}

}  // namespace velkan::terms
