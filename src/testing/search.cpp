// The smoothing-parameter searches: optimize and each search on its own, the cached
// derivatives, searches sharing a cache and memo, Newton-PIRLS, and the Newton search over
// an objective written in Python. Where a core function leaves a shape check to its
// caller, the binding makes it.
#include <optional>
#include <span>

#include "testing/bind.h"
#include "velkan_core/reml/criterion.h"
#include "velkan_core/reml/penalty_sqrt.h"
#include "velkan_core/search/fellner_schall.h"
#include "velkan_core/search/gcv.h"
#include "velkan_core/search/newton.h"
#include "velkan_core/search/newton_pirls.h"
#include "velkan_core/search/smoothing_parameter.h"

namespace velkan::testing {
namespace {

using Matrices = std::vector<Matrix>;

// search_optimize(y, x, w, penalties, lambda0, method="REML", algorithm="Newton",
//                 direct=False) -> (lambda, error or None).
// Through optimize unless `direct` is asked for, which runs the chosen search on lambda0
// as given (after the same checks, without the reset to ones).
std::tuple<Vector, std::optional<std::string>> search_optimize(VectorView y, MatrixView x,
                                                               VectorView w, Matrices pens,
                                                               Vector lambda0,
                                                               std::optional<std::string> method,
                                                               std::optional<std::string> algorithm,
                                                               std::optional<bool> direct) {
  SmoothingParameter state;
  state.lambda = std::move(lambda0);
  const std::size_t m = pens.size();
  if (method.value_or("REML") == "GCV") state.method = SelectionMethod::GCV;
  if (algorithm.value_or("Newton") == "FellnerSchall")
    state.reml_algorithm = REMLAlgorithm::FellnerSchall;
  Status status;
  if (!direct.value_or(false)) {
    status = optimize(state, y, x, w, pens, m);
  } else {
    status = check_search_inputs(y, x, w, pens, m);
    if (status && m != state.lambda.size())
      status = fail(GamError::dimension_mismatch("one lambda per penalty"));
    if (!status) {
    } else if (state.method == SelectionMethod::GCV) {
      status = optimize_gcv(state, y, x, w, pens, m);
    } else if (state.reml_algorithm == REMLAlgorithm::FellnerSchall) {
      status = optimize_reml_fellner_schall(state, y, x, w, pens, m);
    } else {
      status = optimize_reml_newton(state, y, x, w, pens, m);
    }
  }
  std::optional<std::string> error;
  if (!status) error = status.error().display();
  return {std::move(state.lambda), error};
}

// An objective whose pieces are Python callables of a 1-D array of lambdas; a Python
// exception inside one becomes an InvalidParameter error carrying its text.
class PythonObjective final : public NewtonObjective {
 public:
  PythonObjective(nb::callable score, nb::callable grad, nb::callable grad_uncached,
                  nb::callable hess)
      : score_(std::move(score)),
        grad_(std::move(grad)),
        grad_uncached_(std::move(grad_uncached)),
        hess_(std::move(hess)) {}

  Result<double> score(std::span<const double> l) override { return call<double>(score_, l); }
  Result<Vector> gradient(std::span<const double> l) override { return call<Vector>(grad_, l); }
  Result<Vector> gradient_uncached(std::span<const double> l) override {
    return call<Vector>(grad_uncached_, l);
  }
  Result<Matrix> hessian(std::span<const double> l) override { return call<Matrix>(hess_, l); }

 private:
  template <class T>
  static Result<T> call(const nb::callable& fn, std::span<const double> l) {
    try {
      return nb::cast<T>(fn(Vector(std::vector<double>(l.begin(), l.end()))));
    } catch (nb::python_error& e) {
      return fail(GamError::invalid_parameter(nb::str(e.value()).c_str()));
    } catch (const nb::cast_error&) {
      return fail(GamError::invalid_parameter("the objective returned a value of another type"));
    }
  }
  nb::callable score_, grad_, grad_uncached_, hess_;
};

}  // namespace

void bind_search(nb::module_& m) {
  m.def("search_optimize", released(search_optimize), nb::arg("y"), nb::arg("x"), nb::arg("w"),
        nb::arg("penalties"), nb::arg("lambda0"), nb::arg("method") = nb::none(),
        nb::arg("algorithm") = nb::none(), nb::arg("direct") = nb::none());
  m.def("search_gcv_score", released([](VectorView y, MatrixView x, VectorView w, MatrixView s,
                                        double lambda) -> Result<double> {
          if (y.size != x.rows || w.size != x.rows || s.rows != x.cols || s.cols != x.cols)
            return fail(GamError::dimension_mismatch("inconsistent shapes"));
          return gcv_score(y, x, w, s, lambda);
        }));
  // (gradient, Hessian)
  m.def("search_cached_derivatives",
        released([](VectorView y, MatrixView x, VectorView w, std::vector<double> lambdas,
                    Matrices pens) -> Result<std::tuple<Vector, Matrix>> {
          if (lambdas.size() != pens.size())
            return fail(GamError::dimension_mismatch("one lambda per penalty"));
          if (auto ok = check_search_inputs(y, x, w, pens, lambdas.size()); !ok)
            return fail(ok.error());
          auto roots = penalty_sqrts(pens);
          if (!roots) return fail(roots.error());
          return map_value(
              reml_derivatives_cached(y, x, w, make_reml_cache(y, x, w), lambdas, pens, *roots),
              [](RemlDerivatives d) {
                return std::tuple{std::move(d.gradient), std::move(d.hessian)};
              });
        }));
  // search_optimize_reused(y, x, w, penalties, calls) -> ([lambda per call], [remembered
  // scores after each call]): REML searches through optimize sharing one cache and memo.
  m.def(
      "search_optimize_reused",
      released([](VectorView y, MatrixView x, VectorView w, Matrices pens, std::size_t calls)
                   -> Result<std::tuple<std::vector<Vector>, std::vector<std::size_t>>> {
        if (y.size != x.rows || w.size != x.rows)
          return fail(GamError::dimension_mismatch("y, X and w must have the same number of rows"));
        const RemlCache cache = make_reml_cache(y, x, w);
        RemlSearchMemo memo;
        std::vector<Vector> lambdas;
        std::vector<std::size_t> remembered;
        for (std::size_t c = 0; c < calls; ++c) {
          SmoothingParameter state;
          state.lambda = Vector(pens.size(), 1.0);
          if (auto ok = optimize(state, y, x, w, pens, pens.size(), SearchReuse{&cache, &memo});
              !ok)
            return fail(ok.error());
          lambdas.push_back(std::move(state.lambda));
          remembered.push_back(memo.scores.size());
        }
        return std::tuple{std::move(lambdas), std::move(remembered)};
      }));
  // search_newton_pirls(y, x, w, init, penalties, max_iter, grad_tol, min_step, step_shrink,
  //   max_line_search, verbose) -> (log_lambda, lambda, reml, iterations, grad_norm,
  //   converged, message)
  m.def("search_newton_pirls",
        released([](VectorView y, MatrixView x, VectorView w, VectorView init, Matrices pens,
                    std::size_t max_iter, double grad_tol, double min_step, double shrink,
                    std::size_t max_line_search, bool verbose) {
          const NewtonPirlsOptions o{max_iter, grad_tol,        min_step,
                                     shrink,   max_line_search, verbose};
          return map_value(newton_pirls(y, x, w, init, pens, o), [](NewtonPirlsResult r) {
            return std::tuple{std::move(r.log_lambda),
                              std::move(r.lambda),
                              r.reml,
                              r.iterations,
                              r.grad_norm,
                              r.converged,
                              std::move(r.message)};
          });
        }));
  m.def("search_newton_direction",
        released([](MatrixView h, VectorView g) { return newton_direction(h, g); }));
  // search_newton_objective(score, gradient, gradient_uncached, hessian, initial) -> lambda.
  // Keeps the interpreter lock: the objective is Python code.
  m.def("search_newton_objective", [](nb::callable score, nb::callable grad, nb::callable grad_u,
                                      nb::callable hess, Vector initial) {
    PythonObjective objective(std::move(score), std::move(grad), std::move(grad_u),
                              std::move(hess));
    return newton_search(objective, initial);
  });
}

}  // namespace velkan::testing
