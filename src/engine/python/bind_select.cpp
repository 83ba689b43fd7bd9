// One smoothing-parameter step of a fit, and what it reports.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include <string>

#include "engine/passes/accumulate.h"
#include "engine/python/bindings.h"
#include "engine/python/convert.h"
#include "engine/select/fit_step.h"
#include "engine/select/laplace.h"

namespace velkan::engine {

using namespace nb::literals;

namespace {

// What Python reads of a step: the search's end point with the penalized fit there.
struct Step {
  Vector rho;            // log smoothing parameters, one per penalty
  Vector beta;           // coefficients, centred parameterisation
  Vector beta_raw;       // coefficients of the raw design
  Vector edf;            // effective degrees of freedom per coefficient
  Vector ridge;          // identifiability ridge (empty: none)
  Matrix xtwx;           // X'WX, centred parameterisation
  Matrix hessian;        // of the criterion in rho at the end point
  Vector gradient;       // of the criterion in rho at the end point
  double score = 0.0;
  double deviance = 0.0;  // working deviance at beta
  double scale = 0.0;
  std::string exit;
  bool converged = false;  // the search met its tolerance or had nothing to search
  std::vector<std::size_t> undetermined;
  std::size_t iterations = 0;
  Vector rho_balanced;   // the centre of the search range
  Matrix constraint_basis;  // shape-constrained fits: N (empty: none active)
  std::vector<std::size_t> removed_terms;  // terms the removal check took out
};

Step make_step(select::StepResult&& r) {
  using select::SearchExit;
  const auto e = r.search.exit;
  auto& at = r.search.at;
  return Step{std::move(r.search.rho), std::move(at.beta), std::move(r.beta_raw),
              std::move(at.edf_per_coefficient), std::move(r.problem.ridge),
              std::move(r.problem.xtwx), std::move(at.hessian), std::move(at.gradient), at.score, at.deviance, at.scale,
              select::search_exit_name(e),
              e == SearchExit::Converged || e == SearchExit::NoFreeParameters || e == SearchExit::ExactFit,
              std::move(r.undetermined), r.search.iterations, std::move(r.rho_balanced),
              std::move(r.constraint_basis), std::move(r.removed_terms)};
}

select::Criterion parse_criterion(const std::string& name) {
  if (name == "REML") return select::Criterion::Reml;
  if (name == "GCV") return select::Criterion::Gcv;
  if (name == "UBRE") return select::Criterion::Ubre;
  throw nb::value_error(("unknown criterion \"" + name + "\"").c_str());
}

// The Laplace criterion at one point: built from the pass at the fitted coefficients,
// holding what its derivatives need.
struct LaplaceCriterion {
  passes::PassSums sums;
  select::LaplaceInput input;
  select::LaplacePoint point;
};

LaplaceCriterion make_laplace(const terms::ModelLayout& layout, const passes::PassSums& sums,
                              const Array1& beta_raw, const Array1& rho, const std::vector<bool>& free,
                              bool parameter, double known_scale, const std::optional<Array1>& ridge) {
  LaplaceCriterion c;
  c.sums = sums;
  c.input.layout = &layout;
  c.input.sums = &c.sums;
  c.input.beta_raw = to_vector(beta_raw);
  c.input.rho = to_vector(rho);
  c.input.free = free;
  c.input.parameter = parameter;
  c.input.known_scale = known_scale;
  if (ridge) c.input.ridge = to_vector(*ridge);
  c.point = value_or_raise(without_gil([&] { return select::laplace_point(c.input); }));
  return c;
}

void bind_laplace(nb::module_& m) {
  nb::class_<LaplaceCriterion>(m, "LaplaceCriterion",
                               "The Laplace-approximate criterion at one point.")
      .def("__init__",
           [](LaplaceCriterion* self, const terms::ModelLayout& layout, const passes::PassSums& sums,
              const Array1& beta_raw, const Array1& rho, const std::vector<bool>& free,
              bool parameter, double known_scale, const std::optional<Array1>& ridge) {
             new (self) LaplaceCriterion(make_laplace(layout, sums, beta_raw, rho, free, parameter,
                                                      known_scale, ridge));
             self->input.sums = &self->sums;
           },
           "layout"_a, "sums"_a, "beta_raw"_a, "rho"_a, "free"_a, "parameter"_a, "known_scale"_a,
           "ridge"_a.none(), nb::keep_alive<1, 2>())
      .def_prop_ro("defined", [](const LaplaceCriterion& c) { return c.point.defined; })
      .def_prop_ro("score", [](const LaplaceCriterion& c) { return c.point.score; })
      .def_prop_ro("scale", [](const LaplaceCriterion& c) { return c.point.scale; })
      .def_prop_ro("deviance", [](const LaplaceCriterion& c) { return c.point.deviance; })
      .def_prop_ro("penalized_deviance", [](const LaplaceCriterion& c) { return c.point.penalized_deviance; })
      .def_prop_ro("beta", [](const LaplaceCriterion& c) { return to_numpy(c.point.beta); }, nb::rv_policy::automatic)
      .def_prop_ro("dbeta", [](const LaplaceCriterion& c) { return to_numpy(c.point.dbeta); }, nb::rv_policy::automatic)
      .def_prop_ro("dbeta_raw", [](const LaplaceCriterion& c) { return to_numpy(c.point.request.dbeta); }, nb::rv_policy::automatic)
      .def_prop_ro("request", [](const LaplaceCriterion& c) { return c.point.request; })
      .def("derivatives",
           [](const LaplaceCriterion& c, const passes::PassSums& derivative_pass) {
             auto r = value_or_raise(without_gil([&] {
               return select::laplace_derivatives(c.input, c.point, derivative_pass.derivatives);
             }));
             return nb::make_tuple(to_numpy(r.gradient), to_numpy(r.hessian));
           },
           "derivative_pass"_a, "(gradient, Hessian) from a derivative pass at the point.")
      .def("gradient",
           [](const LaplaceCriterion& c, const passes::PassSums& derivative_pass) {
             auto r = value_or_raise(without_gil([&] {
               return select::laplace_gradient(c.input, c.point, derivative_pass.derivatives);
             }));
             return to_numpy(r);
           },
           "derivative_pass"_a, "The gradient from a derivative pass at the point (either kind).");
}

}  // namespace

void bind_select(nb::module_& m) {
  bind_laplace(m);
  nb::class_<Step>(m, "Step", "One smoothing-parameter step: the search's end point.")
      .def_prop_ro("rho", [](const Step& s) { return to_numpy(s.rho); }, nb::rv_policy::automatic)
      .def_prop_ro("beta", [](const Step& s) { return to_numpy(s.beta); }, nb::rv_policy::automatic)
      .def_prop_ro("beta_raw", [](const Step& s) { return to_numpy(s.beta_raw); }, nb::rv_policy::automatic)
      .def_prop_ro("edf", [](const Step& s) { return to_numpy(s.edf); }, nb::rv_policy::automatic)
      .def_prop_ro("ridge", [](const Step& s) { return to_numpy(s.ridge); }, nb::rv_policy::automatic)
      .def_prop_ro("xtwx", [](const Step& s) { return to_numpy(s.xtwx); }, nb::rv_policy::automatic)
      .def_prop_ro("hessian", [](const Step& s) { return to_numpy(s.hessian); }, nb::rv_policy::automatic)
      .def_prop_ro("gradient", [](const Step& s) { return to_numpy(s.gradient); }, nb::rv_policy::automatic)
      .def_ro("score", &Step::score)
      .def_ro("deviance", &Step::deviance)
      .def_ro("scale", &Step::scale)
      .def_ro("exit", &Step::exit)
      .def_ro("converged", &Step::converged)
      .def_ro("undetermined", &Step::undetermined)
      .def_ro("iterations", &Step::iterations)
      .def_prop_ro("rho_balanced", [](const Step& s) { return to_numpy(s.rho_balanced); },
                   nb::rv_policy::automatic)
      .def_prop_ro("constraint_basis", [](const Step& s) { return to_numpy(s.constraint_basis); },
                   nb::rv_policy::automatic)
      .def_ro("removed_terms", &Step::removed_terms);

  m.def(
      "fit_step",
      [](const terms::ModelLayout& layout, const passes::PassSums& sums, const Array1& beta0,
         const Array1& rho_start, const std::vector<bool>& free, const std::string& criterion,
         double known_scale, std::size_t max_iterations, double tolerance,
         const std::optional<Array1>& shrink, bool frequency_weights,
         const std::optional<std::vector<bool>>& removable) {
        if (sums.xtwx.rows() != layout.width() || beta0.shape(0) != layout.width()) {
          throw nb::value_error("cross products or expansion point do not match the layout");
        }
        const std::size_t m = layout.penalties().size();
        if (rho_start.shape(0) != m || free.size() != m) throw nb::value_error("one rho per penalty");
        select::StepInput in;
        in.layout = &layout;
        in.sums = &sums;
        in.beta0_raw = to_vector(beta0);
        in.rho_start = to_vector(rho_start);
        in.free = free;
        in.criterion = parse_criterion(criterion);
        in.known_scale = known_scale;
        in.max_iterations = max_iterations;
        in.gradient_tolerance = tolerance;
        if (shrink) {
          if (shrink->shape(0) != layout.coefficients()) throw nb::value_error("one shrink entry per coefficient");
          in.shrink = to_vector(*shrink);
        }
        in.frequency_weights = frequency_weights;
        if (removable) {
          if (removable->size() != m) throw nb::value_error("one removable flag per penalty");
          in.removable = *removable;
        }
        return make_step(value_or_raise(without_gil([&] { return select::fit_step(in); })));
      },
      "layout"_a, "sums"_a, "beta0"_a, "rho_start"_a, "free"_a, "criterion"_a, "known_scale"_a,
      "max_iterations"_a, "tolerance"_a, "shrink"_a.none() = nb::none(),
      "frequency_weights"_a = false, "removable"_a.none() = nb::none(),
      "Searches the smoothing parameters on one pass's sums; the penalized fit at the end. "
      "`removable` (one flag per penalty) asks for the removal check of weak terms after a "
      "REML search.");
}

}  // namespace velkan::engine
