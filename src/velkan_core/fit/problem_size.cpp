#include "velkan_core/fit/problem_size.h"

#include "diag/format.h"
#include "velkan_core/fit/design.h"
#include "velkan_core/smooth/penalty.h"

namespace velkan {

// Products are formed in double: the sizes come from users and their exact products can
// overflow 64 bits, while the limits are far below the range where double rounding matters.

Status check_design_size(std::size_t n, std::size_t p) {
  const double needed = static_cast<double>(n) *
                        (static_cast<double>(p) + static_cast<double>(kWorkColumns));
  if (needed > static_cast<double>(max_matrix_elements())) {
    return fail(GamError::invalid_parameter(diag::format(
        "a design of {} rows and {} columns does not fit in this machine's memory", {n, p})));
  }
  return {};
}

Status check_penalty_size(std::size_t p, std::size_t m) {
  const double side = static_cast<double>(p);
  const double needed =
      (static_cast<double>(m) + static_cast<double>(kWorkMatricesPxP)) * side * side;
  if (p != 0 && needed > 2.0 * static_cast<double>(max_matrix_elements())) {
    return fail(GamError::invalid_parameter(diag::format(
        "penalties of {} x {} ({} of them) and the solver's work matrices do not fit in this "
        "machine's memory",
        {p, p, m})));
  }
  return {};
}

Status check_problem_size(std::size_t n, std::size_t p, std::size_t m) {
  if (auto ok = check_design_size(n, p); !ok) return ok;
  return check_penalty_size(p, m);
}

Status check_smooth_sizes(std::size_t n, std::span<const std::size_t> k) {
  std::size_t p = 0;
  for (std::size_t kj : k) {
    if (kj > kMaxBasisFunctions) return {};
    p += kj;  // at most k.size() * kMaxBasisFunctions: no overflow for any real list
  }
  return check_problem_size(n, p, k.size());
}

}  // namespace velkan
