// The term kinds and marginal bases the engine knows: the one place they are registered.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "common/gam_error.h"
#include "engine/terms/term_basis.h"

namespace velkan::terms {

struct TermKindInfo {
  std::string_view name;  // TermSpec::kind
  // Validates a spec of this kind and builds its basis; `index` numbers the term in
  // messages.
  Result<std::shared_ptr<const TermBasis>> (*create)(const TermSpec& spec, std::size_t index);
};

std::span<const TermKindInfo> term_kinds();

// The basis of a spec. Refused (InvalidParameter, naming the term by `index`): an unknown
// kind, the wrong number of input columns, and whatever the kind itself refuses.
Result<std::shared_ptr<const TermBasis>> make_term(const TermSpec& spec, std::size_t index);

// Bytes the basis of `spec` will hold (its penalties and their roots), from the spec's
// sizes alone: what a model file asks of memory before anything is built.
std::size_t memory_estimate(const TermSpec& spec);

}  // namespace velkan::terms
