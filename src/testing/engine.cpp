// Test-only access to the modelling engine's internals, as the submodule
// _velkan_testing.engine: the criterion at any smoothing parameters, the layout's maps and
// log-determinant, the reference distributions, and a family's working rows by either
// path (its own forms or the generic composition of link, variance and deviance).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>

#include "engine/families/family.h"
#include "engine/inference/distributions.h"
#include "engine/passes/accumulate.h"
#include "engine/python/convert.h"
#include "engine/select/criterion.h"
#include "engine/select/fit_step.h"
#include "engine/select/shape.h"
#include "engine/terms/layout.h"

namespace velkan::testing {

namespace nb = nanobind;
using namespace nb::literals;
using engine::Array1;
using engine::Array2;
using engine::Inputs;
using engine::to_numpy;

namespace {

select::Criterion criterion_named(const std::string& name) {
  if (name == "REML") return select::Criterion::Reml;
  if (name == "GCV") return select::Criterion::Gcv;
  if (name == "UBRE") return select::Criterion::Ubre;
  throw nb::value_error("unknown criterion");
}

nb::dict evaluate_criterion(const terms::ModelLayout& layout, const passes::PassSums& sums,
                            const Array1& beta0, const Array1& rho, const std::string& criterion,
                            double known_scale, int order, bool blocked) {
  if (sums.xtwx.rows() != layout.width() || beta0.shape(0) != layout.width() ||
      rho.shape(0) != layout.penalties().size()) {
    throw nb::value_error("shapes do not match the layout");
  }
  Inputs in;
  const auto wp = select::working_problem(layout, sums, in(beta0), blocked);
  if (blocked && !wp.sparse) throw nb::value_error("the layout has no block to eliminate");
  const auto ev = engine::value_or_raise(
      select::evaluate(wp, criterion_named(criterion), known_scale, in(rho), order));
  nb::dict d;
  d["defined"] = ev.defined;
  d["score"] = ev.score;
  d["gradient"] = to_numpy(ev.gradient);
  d["hessian"] = to_numpy(ev.hessian);
  d["beta"] = to_numpy(ev.beta);
  d["deviance"] = ev.deviance;
  d["scale"] = ev.scale;
  d["edf"] = ev.edf;
  d["edf_per_coefficient"] = to_numpy(ev.edf_per_coefficient);
  d["log_det_h"] = ev.log_det_h;
  return d;
}

// The working rows of a block by the family's own path or the generic one.
nb::tuple working(const families::ResponseModel& model, const Array1& y, const Array1& eta,
                  const Array1& pw, bool generic) {
  Inputs in;
  const VectorView yv = in(y), ev = in(eta), wv = in(pw);
  const std::size_t n = yv.size;
  if (ev.size != n || wv.size != n) throw nb::value_error("y, eta and weights differ in length");
  Vector ys = Vector::from(yv), es = Vector::from(ev), ws = Vector::from(wv);
  Vector weight(n), residual(n), deviance(n), pearson(n);
  const families::RowsIn rows{ys.data(), es.data(), ws.data(), n};
  const families::RowsOut out{weight.data(), residual.data(), deviance.data(), pearson.data()};
  if (generic) {
    model.family().Family::working(model, rows, out);
  } else {
    model.working(rows, out);
  }
  return nb::make_tuple(to_numpy(weight), to_numpy(residual), to_numpy(deviance), to_numpy(pearson));
}

// A family's rows of the observed information (order 2), of its criterion parameter, and
// of its log density at a scale: each a tuple of arrays.
nb::tuple family_rows(const families::ResponseModel& model, const Array1& y, const Array1& eta,
                      const Array1& pw, const std::string& which, double scale) {
  Inputs in;
  const VectorView yv = in(y), ev = in(eta), wv = in(pw);
  const std::size_t n = yv.size;
  if (ev.size != n || wv.size != n) throw nb::value_error("y, eta and weights differ in length");
  Vector ys = Vector::from(yv), es = Vector::from(ev), ws = Vector::from(wv);
  const families::RowsIn rows{ys.data(), es.data(), ws.data(), n};
  std::vector<Vector> out(which == "parameter" ? 8 : (which == "newton" ? 4 : 3), Vector(n));
  if (which == "newton") {
    model.newton(rows, {out[0].data(), out[1].data(), out[2].data(), out[3].data()}, 2);
  } else if (which == "parameter") {
    model.family().parameter_rows(model, rows, {out[0].data(), out[1].data(), out[2].data(),
                                                out[3].data(), out[4].data(), out[5].data(),
                                                out[6].data(), out[7].data()});
  } else if (which == "profile") {
    model.family().profile_rows(model, rows, scale, {out[0].data(), out[1].data(), out[2].data()});
  } else {
    throw nb::value_error("which: 'newton', 'parameter' or 'profile'");
  }
  nb::list l;
  for (const auto& v : out) l.append(to_numpy(v));
  return nb::tuple(l);
}

}  // namespace

void bind_engine(nb::module_& top) {
  nb::module_ m = top.def_submodule("engine", "The modelling engine's internals.");
  m.def("evaluate_criterion", &evaluate_criterion, "layout"_a, "sums"_a, "beta0"_a, "rho"_a,
        "criterion"_a, "known_scale"_a, "order"_a = 2, "blocked"_a = false);
  m.def("log_pseudo_determinant", [](const terms::ModelLayout& l, const Array1& rho) {
    if (rho.shape(0) != l.penalties().size()) throw nb::value_error("one rho per penalty");
    Inputs in;
    const auto r = l.log_pseudo_determinant(in(rho));
    return nb::make_tuple(r.value, to_numpy(r.gradient), to_numpy(r.hessian));
  });
  m.def("constrain_matrix", [](const terms::ModelLayout& l, const Array2& a) {
    return to_numpy(l.constrain(engine::to_matrix(a)));
  });
  m.def("constrain_vector", [](const terms::ModelLayout& l, const Array1& v) {
    Inputs in;
    return to_numpy(l.constrain(in(v)));
  });
  m.def("solve_shape_qp", [](const Array2& h, const Array1& b, const Array2& a) {
    return to_numpy(engine::value_or_raise(
        select::solve_shape_qp(engine::to_matrix(h), engine::to_vector(b), engine::to_matrix(a))).beta);
  }, "h"_a, "b"_a, "a"_a, "The minimiser of x'Hx / 2 - b'x subject to A x >= 0.");
  m.def("working", &working, "model"_a, "y"_a, "eta"_a, "prior_weight"_a, "generic"_a);
  m.def("family_rows", &family_rows, "model"_a, "y"_a, "eta"_a, "prior_weight"_a, "which"_a,
        "scale"_a = 1.0);
  m.def("chi_square_upper", &inference::chi_square_upper, "x"_a, "df"_a);
  m.def("f_upper", &inference::f_upper, "x"_a, "df1"_a, "df2"_a);
  m.def("student_t_two_sided", &inference::student_t_two_sided, "t"_a, "df"_a);
  m.def("chi_square_mixture_upper", &inference::chi_square_mixture_upper, "x"_a, "k"_a, "nu"_a);
}

}  // namespace velkan::testing
