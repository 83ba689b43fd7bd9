// The family table as Python sees it: `families()` lists every family's description, and
// `ResponseModel` is a family with its link and parameter values, which passes, predictions
// and model statistics take.
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <string>

#include "diag/format.h"
#include "engine/families/family.h"
#include "engine/python/bindings.h"
#include "engine/python/convert.h"

namespace velkan::engine {

using namespace nb::literals;
using families::FamilyInfo;
using families::ResponseModel;
using families::ResponseSums;

namespace {

std::string str(std::string_view s) { return std::string(s); }

// y as a float array, the same shape, through f.
template <class F>
Out1 map_rows(const Array1& x, F f) {
  Inputs in;
  const VectorView v = in(x);
  Vector out(v.size);
  {
    py::ReleasedGil released;
    for (std::size_t i = 0; i < v.size; ++i) out[i] = f(v[i]);
  }
  return to_numpy(out);
}

ResponseModel make_model(const std::string& family, const std::string& link,
                         const std::vector<double>& parameters) {
  return value_or_raise(ResponseModel::create(family, link, parameters));
}

void bind_info(nb::module_& m) {
  nb::class_<FamilyInfo>(m, "FamilyInfo", "One entry of the family table.")
      .def_prop_ro("name", [](const FamilyInfo& f) { return str(f.name); })
      .def_prop_ro("class_name", [](const FamilyInfo& f) { return str(f.class_name); })
      .def_prop_ro("doc", [](const FamilyInfo& f) { return str(f.doc); })
      .def_prop_ro("links", [](const FamilyInfo& f) {
        std::vector<std::string> out;
        for (auto l : f.links) out.push_back(str(families::link(l).name));
        return out;
      })
      .def_prop_ro("scale_estimated", [](const FamilyInfo& f) { return f.scale_estimated; })
      .def_prop_ro("support", [](const FamilyInfo& f) { return str(f.support); })
      .def_prop_ro("support_lower", [](const FamilyInfo& f) { return f.support_lower; })
      .def_prop_ro("proportion", [](const FamilyInfo& f) { return f.proportion; })
      .def_prop_ro("normal_errors", [](const FamilyInfo& f) { return f.normal_errors; })
      .def_prop_ro("exact_fit_warning", [](const FamilyInfo& f) { return str(f.exact_fit_warning); })
      .def_prop_ro("parameters", [](const FamilyInfo& f) {
        std::vector<std::tuple<std::string, double, double, std::string>> out;
        for (const auto& p : f.parameters) out.emplace_back(str(p.name), p.lower, p.upper, str(p.doc));
        return out;
      })
      .def_prop_ro("parameter_estimation", [](const FamilyInfo& f) {
        std::vector<std::string> out;
        for (const auto& p : f.parameters) {
          out.push_back(p.estimation == families::ParameterEstimation::Criterion ? "criterion" : "profile");
        }
        return out;
      }, "How each parameter is estimated when left free: 'criterion' or 'profile'.")
      .def_prop_ro("parameter_starts", [](const FamilyInfo& f) {
        std::vector<double> out;
        for (const auto& p : f.parameters) out.push_back(p.start);
        return out;
      });
  m.def("families", [] {
    std::vector<const FamilyInfo*> out;
    for (const auto* f : families::all_families()) out.push_back(&f->info());
    return out;
  }, nb::rv_policy::reference, "The family table, in order.");
}

void bind_sums(nb::module_& m) {
  nb::class_<ResponseSums>(m, "ResponseSums", "Sums of the response alone from a first pass.")
      .def(nb::init<>())
      .def_rw("response_sum", &ResponseSums::response_sum)
      .def_rw("residual_sum", &ResponseSums::residual_sum)
      .def_rw("residual_square_sum", &ResponseSums::residual_square_sum)
      .def_rw("saturated_sum", &ResponseSums::saturated_sum)
      .def_rw("log_normaliser", &ResponseSums::log_normaliser)
      .def_rw("offset_rows", &ResponseSums::offset_rows)
      .def_rw("weight_sum", &ResponseSums::weight_sum);
}

// The model's functions applied to each entry of an array: link, inverse link (predictions
// on the response scale), variance and unit deviance.
void bind_model_rows(nb::class_<ResponseModel>& model) {
  model
      .def("link_function", [](const ResponseModel& r, const Array1& mu) {
        return map_rows(mu, r.link().link);
      }, "mu"_a)
      .def("inverse_link", [](const ResponseModel& r, const Array1& eta) {
        return map_rows(eta, r.link().inverse);
      }, "eta"_a)
      .def("variance", [](const ResponseModel& r, const Array1& mu) {
        return map_rows(mu, [&](double x) { return r.family().variance(x, r.parameters()); });
      }, "mu"_a)
      .def("unit_deviance",
           [](const ResponseModel& r, const Array1& y, const Array1& mu) {
             Inputs in;
             const VectorView yv = in(y), mv = in(mu);
             if (yv.size != mv.size) throw nb::value_error("y and mu differ in length");
             Vector out(yv.size);
             for (std::size_t i = 0; i < yv.size; ++i)
               out[i] = r.family().unit_deviance(yv[i], mv[i], r.parameters());
             return to_numpy(out);
           },
           "y"_a, "mu"_a);
}

}  // namespace

void bind_families(nb::module_& m) {
  bind_info(m);
  bind_sums(m);
  nb::class_<ResponseModel> model(m, "ResponseModel", "A family with its link and parameter values.");
  bind_model_rows(model);
  model
      .def("__init__",
           [](ResponseModel* self, const std::string& family, const std::string& link,
              const std::vector<double>& parameters) {
             new (self) ResponseModel(make_model(family, link, parameters));
           },
           "family"_a, "link"_a = "", "parameters"_a = std::vector<double>{})
      .def_prop_ro("family", [](const ResponseModel& r) { return str(r.info().name); })
      .def_prop_ro("link", [](const ResponseModel& r) { return str(r.link().name); })
      .def_prop_ro("parameters", [](const ResponseModel& r) {
        return std::vector<double>(r.parameters().begin(), r.parameters().end());
      })
      .def_prop_ro("info", [](const ResponseModel& r) { return &r.info(); }, nb::rv_policy::reference)
      .def_prop_ro("linear", &ResponseModel::linear)
      .def_prop_ro("criterion_parameter", &ResponseModel::criterion_parameter,
                   "Index of the parameter the smoothing-parameter criterion estimates, or -1.")
      .def_prop_ro("newton_weights_positive", &ResponseModel::newton_weights_positive)
      .def_prop_ro("newton_is_fisher", &ResponseModel::newton_is_fisher)  // observed sums = plain sums
      .def("with_parameters",
           [](const ResponseModel& r, const std::vector<double>& values) {
             return value_or_raise(r.with_parameters(values));
           },
           "values"_a, "This model with other parameter values (NaN: estimate).")
      .def("check_support",
           [](const ResponseModel& r, const Array1& y, std::size_t first_row) {
             Inputs in;
             const VectorView v = in(y);
             const std::size_t i = r.first_outside_support(v);
             if (i < v.size) {
               throw nb::value_error(diag::format(
                   "y[{}] = {} is outside the support of the {} family ({})", first_row + i, v[i],
                   r.info().name, r.info().support).c_str());
             }
           },
           "y"_a, "first_row"_a = 0,
           "ValueError naming the first response outside the family's support.")
      .def("starting_level",
           [](const ResponseModel& r, double mean, double rows) {
             return r.link().link(r.family().starting_mean_of(mean, rows));
           },
           "mean"_a, "rows"_a,
           "The linear predictor a fit's intercept starts from, from the weighted mean "
           "response of `rows` rows.")
      .def("null_deviance", [](const ResponseModel& r, const ResponseSums& s) {
        return r.family().null_deviance(r.parameters(), s);
      }, "sums"_a)
      .def("log_likelihood", [](const ResponseModel& r, double deviance, const ResponseSums& s) {
        return r.family().log_likelihood(r.parameters(), deviance, s);
      }, "deviance"_a, "sums"_a)
      .def("__getstate__", [](const ResponseModel& r) {
        return std::make_tuple(str(r.info().name), str(r.link().name),
                               std::vector<double>(r.parameters().begin(), r.parameters().end()));
      })
      .def("__setstate__",
           [](ResponseModel* self, const std::tuple<std::string, std::string, std::vector<double>>& s) {
             new (self) ResponseModel(make_model(std::get<0>(s), std::get<1>(s), std::get<2>(s)));
           });
}

}  // namespace velkan::engine
