"""Checking a fit: residual kinds against their formulas, responses drawn per family of the
table, the basis-size test against a dense computation, concurvity against correlations,
compare against the classical F test and its refusals, covariances and posterior draws,
and the plots rendered with the Agg backend."""

import math
import pickle

import matplotlib
import numpy as np
import pytest
from scipy import stats

import velkan
from velkan import GAM, l, s
from velkan import _engine as E
from velkan import _gam
from velkan._inference import covariances

matplotlib.use("Agg")

FAMILIES = [info.name for info in E.families()]


def family_data(rng, name, n=1500):
    """Responses of a family from its own draws at a known mean; a family that has no
    distribution gets positive responses around the mean. Binomial-like families get whole
    numbers of trials as weights."""
    info = next(i for i in E.families() if i.name == name)
    model = table_model(name)
    X = rng.uniform(size=(n, 2))
    eta = 0.8 * np.sin(2 * np.pi * X[:, 0]) + 0.5 * X[:, 1] + (0.0 if info.proportion else 0.5)
    mu = model.inverse_link(eta)
    w = rng.integers(1, 6, size=n).astype(float) if info.proportion else rng.uniform(0.5, 2.0, size=n)
    try:
        y = E.draw_responses(model, mu, w, 0.3 if info.scale_estimated else 1.0, 1, 7)[0]
    except ValueError:
        y = mu * np.exp(0.3 * rng.normal(size=n))
        try:
            model.check_support(y)
        except ValueError:  # proportions
            y = rng.binomial(5, mu) / 5.0
    return X, y, w, mu


def table_model(name):
    """The family's model with its first link whose mean is finite for any linear predictor
    the tests use, each parameter inside its range (theta 2, the Tweedie power 1.5)."""
    info = next(i for i in E.families() if i.name == name)
    values = [(lo + hi) / 2 if math.isfinite(hi) else lo + 2.0 for _, lo, hi, _ in info.parameters]
    models = (E.ResponseModel(name, link, values) for link in info.links)
    return next(m for m in models if np.all(np.isfinite(m.inverse_link(np.linspace(-1.0, 2.0, 7)))))


@pytest.fixture(scope="module")
def gaussian_fit():
    rng = np.random.default_rng(5)
    X = rng.uniform(size=(1000, 3))
    y = np.sin(6 * np.pi * X[:, 0]) + X[:, 1] + rng.normal(scale=0.3, size=1000)
    return GAM(s(0, k=20, bs="ps") + l(1) + s(2, k=10, bs="ps")).fit(X, y), X, y


class TestResiduals:
    @pytest.mark.parametrize("family", FAMILIES)
    def test_kinds_against_their_formulas(self, rng, family):
        X, y, w, _ = family_data(rng, family)
        gam = GAM(s(0) + l(1), family=family).fit(X, y, w)
        model, eta = gam._fitted.model, gam.predict(X, type="link")
        mu = model.inverse_link(eta)
        dev = gam.residuals(kind="deviance")
        pearson = gam.residuals(kind="pearson")
        # The fit's own totals: the deviance and the Pearson statistic (of the last pass, at
        # the coefficients before the final update: equal to the fit's tolerance).
        assert np.sum(dev ** 2) == pytest.approx(gam.deviance_, rel=1e-6)
        assert np.sum(pearson ** 2) == pytest.approx(gam._fitted.pearson, rel=1e-6)
        # The table's generic variance and unit deviance (the accurate forms agree with them).
        np.testing.assert_allclose(pearson, (y - mu) * np.sqrt(w / model.variance(mu)), rtol=1e-7, atol=1e-12)
        np.testing.assert_allclose(dev, np.sign(y - mu) * np.sqrt(w * model.unit_deviance(y, mu)),
                                   rtol=1e-6, atol=1e-8)
        np.testing.assert_allclose(gam.residuals(kind="response"), y - gam.predict(X), rtol=1e-12, atol=1e-14)
        h = 1e-6
        dmu = (model.inverse_link(eta + h) - model.inverse_link(eta - h)) / (2 * h)
        np.testing.assert_allclose(gam.residuals(kind="working"), (y - mu) / dmu, rtol=1e-5, atol=1e-9)
        # New rows given explicitly are the training rows here.
        np.testing.assert_allclose(gam.residuals(X, y, sample_weight=w, kind="pearson"), pearson, rtol=1e-14)

    def test_streamed_rows_and_refusals(self, gaussian_fit):
        gam, X, y = gaussian_fit
        chunks = [(X[i:i + 300], y[i:i + 300]) for i in range(0, 1000, 300)]
        np.testing.assert_allclose(gam.residuals(chunks), gam.residuals(), rtol=1e-13)
        with pytest.raises(ValueError, match="kind must be one of 'deviance'"):
            gam.residuals(kind="raw")
        with pytest.raises(ValueError, match="y, sample_weight and offset go with X"):
            gam.residuals(y=y)
        restored = pickle.loads(pickle.dumps(gam))
        assert not hasattr(restored, "_training")
        with pytest.raises(ValueError, match="does not hold its training data"):
            restored.residuals()
        np.testing.assert_allclose(restored.residuals(X, y), gam.residuals(), rtol=1e-14)


class TestSimulation:
    @pytest.mark.parametrize("family", FAMILIES)
    def test_draws_have_the_model_mean_and_variance(self, family):
        info = next(i for i in E.families() if i.name == family)
        model = table_model(family)
        mu = model.inverse_link(np.array([-0.7, 0.2, 1.1]))
        w = np.array([1.0, 3.0, 2.0])
        scale = 0.4 if info.scale_estimated else 1.0
        try:
            draws = E.draw_responses(model, mu, w, scale, 40000, 3)
        except ValueError as e:
            # Only a family without a likelihood (a quasi-likelihood) may refuse.
            sums = E.ResponseSums()
            sums.weight_sum = 10.0
            assert np.isnan(model.log_likelihood(5.0, sums)), e
            assert f"cannot draw a response of the {family} family" in str(e)
            return
        assert all(model.check_support(d) is None for d in draws[:50])
        se = np.sqrt(scale * model.variance(mu) / w / draws.shape[0])
        assert np.all(np.abs(draws.mean(axis=0) - mu) < 4.5 * se)
        np.testing.assert_allclose(draws.var(axis=0), scale * model.variance(mu) / w, rtol=0.05)

    def test_seeded_rows_ignore_threads_and_chunks(self, gaussian_fit):
        gam, X, _ = gaussian_fit
        a = gam.simulate(X, n=3, seed=11)
        assert a.shape == (3, 1000)
        gam.n_jobs = 2
        try:
            np.testing.assert_array_equal(gam.simulate(X, n=3, seed=11), a)
        finally:
            gam.n_jobs = None
        chunks = [X[i:i + 300] for i in range(0, 1000, 300)]
        np.testing.assert_array_equal(gam.simulate(chunks, n=3, seed=11), a)
        assert not np.array_equal(gam.simulate(X, n=3, seed=12), a)
        with pytest.raises(ValueError, match="n must be a positive integer"):
            gam.simulate(X, n=0)

    def test_binomial_trials_must_be_whole(self, rng):
        name = next(i.name for i in E.families() if i.proportion)
        with pytest.raises(ValueError, match="whole numbers of trials"):
            E.draw_responses(E.ResponseModel(name), np.array([0.3]), np.array([2.5]), 1.0, 1, 0)


class TestPosterior:
    def test_draws_reproduce_the_covariance_and_the_intervals(self, gaussian_fit):
        gam, X, _ = gaussian_fit
        V = gam.covariance()
        draws = gam.sample(20000, seed=4)
        np.testing.assert_allclose(draws.mean(axis=0), gam.coef_, atol=4 * np.sqrt(np.diag(V) / 20000).max())
        np.testing.assert_allclose(np.cov(draws.T), V, atol=0.05 * np.abs(V).max())
        # The 2.5 / 97.5 % quantiles of 2,000 draws of the linear predictor against the
        # analytic 95 % interval, to 5 % of its width.
        grid = np.column_stack([np.linspace(0.02, 0.98, 25), np.full(25, 0.5), np.full(25, 0.5)])
        eta, se = gam.predict(grid, return_std=True)
        bounds = velkan.interval(gam.predict_draws(grid, gam.sample(2000, seed=9), type="link"))
        width = 2 * 1.959964 * se
        assert np.all(np.abs(bounds[:, 0] - (eta - width / 2)) < 0.05 * width)
        assert np.all(np.abs(bounds[:, 1] - (eta + width / 2)) < 0.05 * width)

    def test_model_matrix_gives_predictions_and_their_variance(self, gaussian_fit):
        gam, X, _ = gaussian_fit
        M = gam.model_matrix(X[:40])
        np.testing.assert_allclose(M @ gam.coef_, gam.predict(X[:40], type="link"), rtol=1e-12, atol=1e-12)
        _, se = gam.predict(X[:40], return_std=True)
        np.testing.assert_allclose(np.einsum("ij,jk,ik->i", M, gam.covariance(), M), se ** 2, rtol=1e-9)
        cov = covariances(gam._fitted)
        for kind, expected in (("corrected", cov.vc), ("bayesian", cov.vp), ("frequentist", cov.ve)):
            np.testing.assert_array_equal(gam.covariance(kind), expected)
        with pytest.raises(ValueError, match="kind must be one of 'corrected'"):
            gam.covariance("sandwich")


class TestBasisSize:
    def test_statistic_matches_a_dense_computation(self, gaussian_fit):
        gam, X, y = gaussian_fit
        report = gam.diagnostics()
        fit = gam._fitted
        cols = [X[:, j] for j in range(3)]
        Xm = gam.model_matrix(X)
        t = y - gam.predict(X)
        n, edf = X.shape[0], gam.edf_
        for check, index in zip(report.terms, (1, 3)):
            B = E.Layout([E.richer_term(fit.design.spec[index])]).design(cols)
            B_perp = B - Xm @ np.linalg.lstsq(Xm, B, rcond=None)[0]
            u, sv, _ = np.linalg.svd(B_perp, full_matrices=False)
            u = u[:, sv > 1e-7 * sv[0]]
            T = float(np.sum((u.T @ t) ** 2))
            r = u.shape[1]
            F = (T / r) / ((t @ t - T) / (n - edf - r))
            assert check.df == r
            assert check.statistic == pytest.approx(F, rel=1e-6)
            assert check.p_value == pytest.approx(stats.f.sf(F, r, n - edf - r), rel=1e-6)

    @pytest.mark.parametrize("family", ["gaussian", "poisson"])
    def test_flags_a_basis_too_small_for_the_truth(self, rng, family):
        x = rng.uniform(size=(2000, 1))
        eta = np.sin(6 * np.pi * x[:, 0])
        y = eta + rng.normal(scale=0.3, size=2000) if family == "gaussian" else rng.poisson(np.exp(eta)).astype(float)
        small = GAM(s(0, k=5), family=family).fit(x, y).diagnostics().terms[0]
        large = GAM(s(0, k=20), family=family).fit(x, y).diagnostics().terms[0]
        assert small.p_value < 1e-6 and large.p_value > 0.01
        assert small.max_edf == 4 and large.max_edf == 19

    def test_report_streamed_and_refitted(self, gaussian_fit, tmp_path):
        gam, X, y = gaussian_fit
        report = gam.diagnostics()
        chunks = [(X[i:i + 250], y[i:i + 250]) for i in range(0, 1000, 250)]
        streamed = gam.diagnostics(chunks)
        for a, b in zip(report.terms, streamed.terms):
            assert b.statistic == pytest.approx(a.statistic, rel=1e-8)
        assert report.converged and np.all(np.abs(report.gradient) < 1e-3)
        frame = report.to_frame()
        assert list(frame.index) == [t.label for t in gam._fitted.terms if t.penalties]
        assert list(frame.columns) == ["edf", "max_edf", "statistic", "df", "p_value"]
        assert "Basis size" in str(report)
        gam.save(tmp_path / "m.velkan")
        loaded = velkan.load(tmp_path / "m.velkan")
        np.testing.assert_array_equal(loaded.diagnostics(X, y).gradient, report.gradient)
        fixed = GAM(s(0, lam=1.0) + s(2)).fit(X, y).diagnostics()
        assert np.isnan(fixed.gradient[0]) and np.isfinite(fixed.gradient[1])


class TestConcurvity:
    def test_near_copies_and_independent_covariates(self, rng):
        n = 1000
        x, z = rng.uniform(size=n), rng.uniform(size=n)
        X = np.column_stack([x, x + 0.01 * rng.normal(size=n), z])
        y = np.sin(3 * x) + z + rng.normal(scale=0.3, size=n)
        result = GAM(s(0) + s(1) + s(2)).fit(X, y).concurvity()
        assert result.worst[0] > 0.9 and result.worst[1] > 0.9 and result.worst[2] < 0.2
        assert result.pairwise[0, 1] > 0.9 and result.pairwise[0, 2] < 0.2
        assert np.all((result.observed >= 0) & (result.observed <= result.worst + 1e-12))
        assert result.to_frame().shape == (3, 3) and result.to_frame(pairwise=True).shape == (3, 3)

    def test_linear_terms_give_the_squared_correlation(self, rng):
        n = 500
        a = rng.normal(size=n)
        b = 0.6 * a + rng.normal(size=n)
        gam = GAM(l(0) + l(1)).fit(np.column_stack([a, b]), a + b + rng.normal(size=n))
        r2 = np.corrcoef(a, b)[0, 1] ** 2
        result = gam.concurvity()
        np.testing.assert_allclose(result.worst, [r2, r2], rtol=1e-8)
        np.testing.assert_allclose(result.pairwise[0, 1], r2, rtol=1e-8)


class TestComparison:
    def test_parametric_models_give_the_classical_f_test(self, rng):
        X = rng.normal(size=(300, 3))
        y = X[:, 0] + 0.2 * X[:, 1] + rng.normal(size=300)
        small, large = GAM(l(0)).fit(X, y), GAM(l(0) + l(1) + l(2)).fit(X, y)
        rss0, rss1 = small.deviance_, large.deviance_
        F = ((rss0 - rss1) / 2) / (rss1 / (300 - 4))
        row = velkan.compare(small, large).rows[1]
        assert row.df == pytest.approx(2.0, abs=1e-9)
        assert row.statistic == pytest.approx(F, rel=1e-9)
        assert row.p_value == pytest.approx(stats.f.sf(F, 2, 296), rel=1e-9)
        assert large.aic() == pytest.approx(2 * (4 + 1) - 2 * large.summary().log_likelihood, rel=1e-12)
        assert large.bic() == pytest.approx(np.log(300) * 5 - 2 * large.summary().log_likelihood, rel=1e-12)

    def test_refuses_models_of_other_rows_or_families(self, rng):
        X = rng.uniform(size=(400, 2))
        y = rng.poisson(np.exp(X[:, 0])).astype(float)
        base = GAM(s(0), family="poisson").fit(X, y)
        with pytest.raises(ValueError, match="different families"):
            velkan.compare(base, GAM(s(0) + s(1)).fit(X, y))
        with pytest.raises(ValueError, match="different rows"):
            velkan.compare(base, GAM(s(0) + s(1), family="poisson").fit(X[:399], y[:399]))
        shuffled = y.copy()
        shuffled[:2] = shuffled[:2] + 1
        with pytest.raises(ValueError, match="different responses or weights"):
            velkan.compare(base, GAM(s(0) + s(1), family="poisson").fit(X, shuffled))
        with pytest.raises(TypeError, match="not a fitted velkan GAM"):
            velkan.compare(base, "model")

class TestPlots:
    @staticmethod
    def pixels(figure, tmp_path):
        import matplotlib.image

        figure.savefig(tmp_path / "plot.png", dpi=50)
        return matplotlib.image.imread(tmp_path / "plot.png")[..., :3]

    @pytest.mark.parametrize("family", ["gaussian", "poisson"])
    def test_residual_panels_render(self, rng, family, tmp_path):
        X, y, w, _ = family_data(rng, family, n=600)
        figure = GAM(s(0) + l(1), family=family).fit(X, y, w).diagnostics().plot()
        assert [ax.get_title() for ax in figure.axes] == [
            "Q-Q of deviance residuals", "Residuals against linear predictor", "Histogram of residuals",
            "Response against fitted values"]
        image = self.pixels(figure, tmp_path)
        assert image.std() > 0.05 and (image < 0.5).mean() > 0.01
        # The Q-Q panel: a simulated band and 600 points that follow the reference line.
        qq = figure.axes[0]
        reference, observed = qq.lines[0].get_data()
        assert len(observed) == 600 and len(qq.collections) == 1
        assert np.corrcoef(reference, observed)[0, 1] > 0.98

    def test_partial_residuals_by_default_only_for_small_data(self, gaussian_fit, monkeypatch):
        gam, X, y = gaussian_fit
        points = lambda figure: [c for c in figure.axes[0].collections if c.get_offsets().shape[0] > 1]
        drawn = points(gam.plot(1))
        assert len(drawn) == 1 and drawn[0].get_offsets().shape == (1000, 2)
        # effect + working residual = the partial residual, rebuilt from the fit
        x, r = np.asarray(drawn[0].get_offsets()).T
        effect, _ = gam.partial_effect(1, X)
        np.testing.assert_allclose(x, X[:, 0], rtol=1e-15)
        np.testing.assert_allclose(r, effect + y - gam.predict(X), rtol=1e-9, atol=1e-9)
        monkeypatch.setattr(_gam, "PARTIAL_RESIDUAL_ROWS", 500)
        assert not points(gam.plot(1))
        assert len(points(gam.plot(1, residuals=True))) == 1
