#include "testing/bind.h"

namespace velkan::testing {

GamError error_value(std::size_t kind, std::string payload) {
  if (kind > 5) return GamError::invalid_parameter("variant index must be 0..5");
  if (static_cast<GamErrorKind>(kind) == GamErrorKind::SingularMatrix)
    return GamError::singular_matrix();
  return GamError(static_cast<GamErrorKind>(kind), std::move(payload));
}

void bind_common(nb::module_& m) {
  // (display text, debug rendering) of an error value.
  m.def("gam_error_render", [](std::size_t kind, std::string payload) {
    const GamError e = error_value(kind, std::move(payload));
    return std::tuple{e.display(), e.debug()};
  });
}

}  // namespace velkan::testing
