// Covariances of the coefficients and the term tests.
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "engine/inference/covariance.h"
#include "engine/select/fit_step.h"
#include "engine/inference/distributions.h"
#include "engine/inference/term_test.h"
#include "engine/python/bindings.h"
#include "engine/python/convert.h"
#include "engine/terms/layout.h"

namespace velkan::engine {

using namespace nb::literals;

void bind_inference(nb::module_& m) {
  nb::class_<inference::Covariance>(m, "Covariance", "Covariances of a fit's coefficients.")
      .def_prop_ro("vp", [](const inference::Covariance& c) { return to_numpy(c.vp); }, nb::rv_policy::automatic)
      .def_prop_ro("ve", [](const inference::Covariance& c) { return to_numpy(c.ve); }, nb::rv_policy::automatic)
      .def_prop_ro("vc", [](const inference::Covariance& c) { return to_numpy(c.vc); }, nb::rv_policy::automatic)
      .def_prop_ro("edf", [](const inference::Covariance& c) { return to_numpy(c.edf); }, nb::rv_policy::automatic)
      .def_ro("edf_corrected", &inference::Covariance::edf_corrected);
  m.def(
      "covariance",
      [](const terms::ModelLayout& layout, const Array2& xtwx, const std::optional<Array1>& ridge,
         const Array1& rho, double scale, const std::optional<Array1>& beta,
         const std::optional<Array2>& rho_hessian, const std::vector<bool>& free,
         const std::optional<Array2>& constraint_basis) {
        if (xtwx.shape(0) != layout.coefficients() || xtwx.shape(1) != layout.coefficients()) {
          throw nb::value_error("cross products do not match the layout's coefficients");
        }
        const auto penalties = layout.constrained_penalties();
        Inputs in;
        std::optional<inference::SmoothingUncertainty> unc;
        if (beta && rho_hessian) unc = inference::SmoothingUncertainty{in(*beta), in(*rho_hessian), free};
        const MatrixView g = in(xtwx);
        const VectorView ridge_view = in(ridge), rho_view = in(rho);
        const MatrixView basis = in(constraint_basis);
        if (basis.rows == 0) {
          // A wide grouped term: the covariances by block elimination, as the fit's search.
          select::WorkingProblem wp;
          wp.xtwx = to_matrix(xtwx);
          wp.ridge = ridge ? to_vector(*ridge) : Vector();
          if (select::blocked_problem(layout, wp)) {
            const VectorView rho_view = in(rho);
            return value_or_raise(without_gil([&] {
              return inference::blocked_covariance(wp, rho_view, scale, unc ? &*unc : nullptr);
            }));
          }
        }
        return value_or_raise(without_gil([&] {
          if (basis.rows != 0) {
            return inference::constrained_covariance(g, penalties, ridge_view, rho_view, scale,
                                                     basis, unc ? &*unc : nullptr);
          }
          return inference::coefficient_covariance(g, penalties, ridge_view, rho_view, scale,
                                                   unc ? &*unc : nullptr);
        }));
      },
      "layout"_a, "xtwx"_a, "ridge"_a.none(), "rho"_a, "scale"_a, "beta"_a.none() = nb::none(),
      "rho_hessian"_a.none() = nb::none(), "free"_a = std::vector<bool>{},
      "constraint_basis"_a.none() = nb::none());

  m.def(
      "smooth_term_test",
      [](const Array1& beta, const Array2& vp, const Array2& g, double edf, double residual_df) {
        Inputs in;
        const auto t = value_or_raise(
            inference::smooth_term_test(in(beta), in(vp), in(g), edf, residual_df));
        return nb::make_tuple(t.statistic, t.ref_df, t.rank, t.p_value);
      },
      "beta"_a, "vp"_a, "g"_a, "edf"_a, "residual_df"_a);
  m.def("wald_p_value", &inference::wald_p_value, "statistic"_a, "residual_df"_a);
  m.def("normal_quantile", &inference::normal_quantile, "p"_a);
  m.attr("RHO_VARIANCE_CAP") = inference::kRhoVarianceCap;
  m.def("chi_square_upper", &inference::chi_square_upper, "x"_a, "df"_a);
  m.def("f_upper", &inference::f_upper, "x"_a, "df1"_a, "df2"_a);
}

}  // namespace velkan::engine
