#include "engine/terms/term_basis.h"

namespace velkan::terms {

// Terms without penalties are never asked for one (penalty_count() is 0).
Matrix TermBasis::penalty(std::size_t) const { return {}; }
Matrix TermBasis::penalty_root(std::size_t) const { return {}; }
void TermBasis::add_log_determinant(VectorView, std::size_t, LogDeterminant&) const {}
// Kinds that cannot bin are never asked for margin rows (binnable() is false).
Matrix TermBasis::margin_rows(std::size_t, VectorView) const { return {}; }

}  // namespace velkan::terms
