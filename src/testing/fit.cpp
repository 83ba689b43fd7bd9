// The families and penalized IRLS.
#include <optional>

#include "testing/bind.h"
#include "velkan_core/fit/family.h"
#include "velkan_core/fit/pirls.h"

namespace velkan::testing {
namespace {

Family family_named(const std::string& name) {
  auto f = parse_family(name);
  if (!f) throw nb::value_error("unknown family");
  return *f;
}

// fit_pirls(y, X, lambdas, penalties, family, xtx=None, xty=None, residual_sums=None):
// with xtx and xty, the cached unit-weight products.
nb::dict fit_pirls(VectorView y, MatrixView x, std::vector<double> lambdas,
                   std::vector<Matrix> penalties, const std::string& family,
                   std::optional<Matrix> xtx, std::optional<Vector> xty,
                   std::optional<bool> residual_sums) {
  const Family f = family_named(family);
  PirlsOptions options;
  options.residual_sums = residual_sums.value_or(false);
  CrossProducts cached;
  if (xtx && xty) {
    cached = {std::move(*xtx), std::move(*xty)};
    options.unit_weight_products = &cached;
  }
  PirlsResult r = unwrap(run_released([&] { return pirls(y, x, lambdas, penalties, f, options); }));
  nb::dict d;
  d["coefficients"] = r.coefficients;
  d["fitted_values"] = r.fitted_values;
  d["linear_predictor"] = r.linear_predictor;
  d["weights"] = r.weights;
  d["deviance"] = r.deviance;
  d["iterations"] = r.iterations;
  d["converged"] = r.converged;
  const std::optional<ResidualProducts>& s = r.residual_sums;
  d["rss"] = s ? nb::cast(s->rss) : nb::none();
  d["xtr"] = s ? nb::cast(s->xtwr) : nb::none();
  return d;
}

}  // namespace

void bind_fit(nb::module_& m) {
  m.def("fit_linkinv",
        [](const std::string& f, VectorView eta) { return linkinv(family_named(f), eta); });
  m.def("fit_mu_eta",
        [](const std::string& f, VectorView eta) { return mu_eta(family_named(f), eta); });
  m.def("fit_initial_eta",
        [](const std::string& f, VectorView y) { return initial_eta(family_named(f), y); });
  m.def("fit_working_weight", [](const std::string& f, VectorView eta, VectorView mu) {
    const Family family = family_named(f);
    Vector out(eta.size);
    for (std::size_t i = 0; i < eta.size && i < mu.size; ++i)
      out[i] = working_weight(family, eta[i], mu[i]);
    return out;
  });
  m.def("fit_deviance", [](const std::string& f, VectorView y, VectorView mu) {
    return deviance(family_named(f), y, mu);
  });
  m.def("fit_pirls", fit_pirls, nb::arg("y"), nb::arg("x"), nb::arg("lambdas"),
        nb::arg("penalties"), nb::arg("family"), nb::arg("xtx") = nb::none(),
        nb::arg("xty") = nb::none(), nb::arg("residual_sums") = nb::none());
}

}  // namespace velkan::testing
