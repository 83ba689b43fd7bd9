// The engine's binding functions, one per engine folder (bind_<folder>.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace velkan::engine {

void bind_families(nanobind::module_& m);
void bind_terms(nanobind::module_& m);
// Factor labels held as Python objects (labels.cpp), bound with the terms.
void bind_labels(nanobind::module_& m);
void bind_passes(nanobind::module_& m);
void bind_binning(nanobind::module_& m);
void bind_select(nanobind::module_& m);
void bind_inference(nanobind::module_& m);

}  // namespace velkan::engine
