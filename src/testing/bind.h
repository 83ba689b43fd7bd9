// The parts the test-only module is assembled from: one function per folder of src/ whose
// internals the tests reach, each in the file of that name.
#pragma once

#include "testing/casters.h"

namespace velkan::testing {

void bind_common(nb::module_& m);  // error values and their renderings
void bind_diag(nb::module_& m);    // number formats, templates, switches
void bind_linalg(nb::module_& m);  // solves, factorisations, products
void bind_smooth(nb::module_& m);  // bases, penalties, formulas, setup
void bind_fit(nb::module_& m);     // families, PiRLS
void bind_reml(nb::module_& m);    // criterion, square roots, gradients, residual sums
void bind_search(nb::module_& m);  // the smoothing-parameter searches
void bind_python(nb::module_& m);  // velkan_core's conversions, translation, borrow flag
void bind_engine(nb::module_& m);  // the modelling engine's internals (submodule engine)

// The error value of variant `kind` (0 .. 5, the variant order) carrying `payload`;
// InvalidParameter naming the range for another kind.
GamError error_value(std::size_t kind, std::string payload);

}  // namespace velkan::testing
