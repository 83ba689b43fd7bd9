// One smoothing-parameter step of a fit, and what it reports.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>

#include "engine/passes/accumulate.h"
#include "engine/python/bindings.h"
#include "engine/python/convert.h"
#include "engine/select/fit_step.h"

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
  Matrix constraint_basis;  // shape-constrained fits: N (empty: none active)
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
              std::move(r.undetermined), r.search.iterations, std::move(r.constraint_basis)};
}

select::Criterion parse_criterion(const std::string& name) {
  if (name == "REML") return select::Criterion::Reml;
  if (name == "GCV") return select::Criterion::Gcv;
  if (name == "UBRE") return select::Criterion::Ubre;
  throw nb::value_error(("unknown criterion \"" + name + "\"").c_str());
}

}  // namespace

void bind_select(nb::module_& m) {
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
      .def_prop_ro("constraint_basis", [](const Step& s) { return to_numpy(s.constraint_basis); },
                   nb::rv_policy::automatic);

  m.def(
      "fit_step",
      [](const terms::ModelLayout& layout, const passes::PassSums& sums, const Array1& beta0,
         const Array1& rho_start, const std::vector<bool>& free, const std::string& criterion,
         double known_scale, std::size_t max_iterations, double tolerance,
         const std::optional<Array1>& shrink, bool frequency_weights) {
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
        return make_step(value_or_raise(without_gil([&] { return select::fit_step(in); })));
      },
      "layout"_a, "sums"_a, "beta0"_a, "rho_start"_a, "free"_a, "criterion"_a, "known_scale"_a,
      "max_iterations"_a, "tolerance"_a, "shrink"_a.none() = nb::none(),
      "frequency_weights"_a = false,
      "Searches the smoothing parameters on one pass's sums; the penalized fit at the end.");
}

}  // namespace velkan::engine
