// What describes a model term completely: the kind, the input columns it reads and the
// numbers its basis is built from (knots, levels, a centre). A model file stores exactly
// this; the Python package builds it once knots are placed, and `make_term` (registry.h)
// validates it and builds the term's basis. Nothing else about a term is stored: its
// penalties and constraint follow from the spec deterministically.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "linalg/matrix.h"

namespace velkan::terms {

// One marginal basis of a smooth: its kind ("ps", "cr", "cc"), size and knots.
struct MarginSpec {
  std::string basis;
  std::size_t k = 0;
  Vector knots;
};

struct TermSpec {
  std::string kind;                  // "intercept", "linear", "factor", "smooth"
  std::vector<std::size_t> columns;  // input columns read, in order
  std::vector<MarginSpec> margins;   // smooth: one per column (several: a tensor product)
  std::size_t levels = 0;            // factor: codes 0 .. levels - 1, 0 the reference
  double center = 0.0;               // linear: subtracted from the input
};

}  // namespace velkan::terms
