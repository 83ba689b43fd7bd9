"""The family table against independent references: deviances, variances and densities
against scipy.stats (the Tweedie density against its compound Poisson-gamma sum), the
observed information and parameter derivatives against finite differences, the
log-likelihood and AIC of fits, weights as repeated rows, estimated parameters."""

import math
import warnings

import numpy as np
import pytest
from scipy import stats

import velkan
from velkan import GAM, l, re, s
from velkan import _engine as E

T = pytest.importorskip("_velkan_testing").engine


def tweedie_logpdf(y, mu, phi, p, terms=400):
    """log f of the compound Poisson-gamma sum: N ~ Poisson(lam), y | N ~ Gamma(N a, c)."""
    lam, a = mu ** (2 - p) / (phi * (2 - p)), (2 - p) / (p - 1)
    c = phi * (p - 1) * mu ** (p - 1)
    n = np.arange(1, terms + 1)[:, None]
    logs = stats.poisson.logpmf(n, lam) + stats.gamma.logpdf(y, n * a, scale=c)
    positive = np.logaddexp.reduce(logs, axis=0)
    return np.where(y == 0, -lam, positive)


def tweedie_draw(rng, mu, phi, p):
    lam, a, c = mu ** (2 - p) / (phi * (2 - p)), (2 - p) / (p - 1), phi * (p - 1) * mu ** (p - 1)
    n = rng.poisson(lam)
    return np.where(n > 0, rng.gamma(np.maximum(n, 1) * a, c), 0.0)


# Per family: parameters, the true scale, a sampler at the mean, the log density at (y, mu,
# scale) with scipy (None: a quasi-likelihood), and the scale at which a fit's
# log-likelihood is reported (deviance, sum of weights) -> phi. A family missing here
# fails test_every_family_has_a_reference.
REFERENCE = {
    "gaussian": ([], 0.5, lambda r, m, f: m + math.sqrt(f) * r.normal(size=m.size),
                 lambda y, m, f: stats.norm.logpdf(y, m, math.sqrt(f)), lambda d, w: d / w),
    "binomial": ([], 1.0, lambda r, m, f: r.binomial(1, m).astype(float),
                 lambda y, m, f: stats.binom.logpmf(y, 1, m), None),
    "poisson": ([], 1.0, lambda r, m, f: r.poisson(m).astype(float),
                lambda y, m, f: stats.poisson.logpmf(y, m), None),
    "gamma": ([], 0.3, lambda r, m, f: r.gamma(1 / f, m * f),
              lambda y, m, f: stats.gamma.logpdf(y, 1 / f, scale=m * f), lambda d, w: d / w),
    "quasipoisson": ([], 1.0, lambda r, m, f: r.poisson(m).astype(float), None, None),
    "quasibinomial": ([], 1.0, lambda r, m, f: r.binomial(1, m).astype(float), None, None),
    "negative_binomial": ([2.5], 1.0, lambda r, m, f: r.negative_binomial(2.5, 2.5 / (2.5 + m)).astype(float),
                          lambda y, m, f: stats.nbinom.logpmf(y, 2.5, 2.5 / (2.5 + m)), None),
    "tweedie": ([1.5], 1.3, lambda r, m, f: tweedie_draw(r, m, f, 1.5),
                lambda y, m, f: tweedie_logpdf(y, m, f, 1.5), None),
    "inverse_gaussian": ([], 0.4, lambda r, m, f: r.wald(m, 1 / f),
                         lambda y, m, f: stats.invgauss.logpdf(y, m * f, scale=1 / f), lambda d, w: d / w),
}
FAMILIES = velkan.families()
LINKS = [(info.name, link) for info in E.families() for link in info.links]


def model(family, link=""):
    return E.ResponseModel(family, link, REFERENCE[family][0])


def means(rng, family, n, link=""):
    """Means inside every link's domain, away from the edges."""
    lo, hi = (0.1, 0.9) if "binomial" in family else (0.4, 3.0)
    return rng.uniform(lo, hi, size=n)


def test_every_family_has_a_reference():
    assert sorted(REFERENCE) == sorted(FAMILIES)


@pytest.mark.parametrize("family", FAMILIES)
def test_deviance_and_variance_against_scipy(rng, family):
    params, phi, draw, logf, _ = REFERENCE[family]
    m = model(family)
    mu = means(rng, family, 400)
    y = draw(rng, mu, phi)
    base = logf or REFERENCE[family.replace("quasi", "")][3]  # a quasi family's base density
    # the unit deviance is twice the log-likelihood ratio of the saturated model (mean y;
    # the saturated log-likelihood of a zero response is 0), per unit scale
    saturated = np.where(y == 0, 0.0, base(y, np.where(y == 0, 1.0, y), phi))
    np.testing.assert_allclose(m.unit_deviance(y, mu), 2 * phi * (saturated - base(y, mu, phi)),
                               rtol=1e-7, atol=1e-9)
    mu0 = 0.3 if "binomial" in family else 1.7
    sample = draw(np.random.default_rng(1), np.full(100_000, mu0), phi)
    assert sample.mean() == pytest.approx(mu0, rel=0.02)
    assert sample.var() / phi == pytest.approx(m.variance(np.array([mu0]))[0], rel=0.05)


@pytest.mark.parametrize("p", [1.2, 1.5, 1.8])
def test_tweedie_series_density_is_the_compound_poisson_gamma_sum(rng, p):
    phi = 1.3
    m = E.ResponseModel("tweedie", "", [p])
    y = np.concatenate([[0.0, 1e-4, 0.02], rng.gamma(1.0, 3.0, size=60), [40.0, 300.0]])
    mu = rng.uniform(0.3, 5.0, size=y.size)
    eta = np.log(mu)
    logd, d1, d2 = T.family_rows(m, y, eta, np.ones(y.size), "profile", phi)
    np.testing.assert_allclose(logd, tweedie_logpdf(y, mu, phi, p, terms=3000), rtol=1e-9, atol=1e-9)
    h = 1e-5  # derivatives in log(scale)
    up = T.family_rows(m, y, eta, np.ones(y.size), "profile", phi * math.exp(h))
    dn = T.family_rows(m, y, eta, np.ones(y.size), "profile", phi * math.exp(-h))
    np.testing.assert_allclose(d1, (up[0] - dn[0]) / (2 * h), rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(d2, (up[1] - dn[1]) / (2 * h), rtol=1e-5, atol=1e-6)
    # the deviance is the log-likelihood ratio of the saturated model here too
    sat = T.family_rows(m, y, np.log(np.maximum(y, 1e-300)), np.ones(y.size), "profile", phi)[0]
    pos = y > 0
    np.testing.assert_allclose(m.unit_deviance(y, mu)[pos], 2 * phi * (sat - logd)[pos], rtol=1e-7, atol=1e-9)
    # A tiny scale or a huge response puts the series' centre j* = y^(2-p) / (phi (2-p))
    # beyond 5e4, where the saddlepoint form takes over: continuous there, and bounded in
    # time and memory far beyond (j* = 1e16 here).
    y = np.array([1e8, 1e8, 1e8])
    phis = [y[0] ** (2 - p) / ((2 - p) * j) for j in (4.9e4, 5.1e4, 1e16)]
    near = [T.family_rows(m, y[:1], np.log(y[:1]), np.ones(1), "profile", f)[0][0] for f in phis]
    assert near[0] == pytest.approx(near[1] + 0.5 * math.log(phis[1] / phis[0]), abs=2e-3) and math.isfinite(near[2])


def fd(f, x, h):
    return (f(x + h) - f(x - h)) / (2 * h)


@pytest.mark.parametrize("family,link", LINKS)
def test_observed_information_matches_finite_differences(rng, family, link):
    # score = -1/2 d(w dev)/d eta, weight = -d score / d eta and its two derivatives; the
    # Newton weight of a canonical link is the Fisher weight.
    m = model(family, link)
    mu = means(rng, family, 60, link)
    y = REFERENCE[family][2](rng, mu, REFERENCE[family][1])
    if link == "1/mu^2" or family == "inverse_gaussian":
        y = np.maximum(y, 0.05)
    eta = m.link_function(mu)
    pw = rng.uniform(0.5, 2.0, size=mu.size)
    rows = lambda e: T.family_rows(m, y, e, pw, "newton")  # noqa: E731
    g, w, dw, d2w = rows(eta)
    h = 1e-5 * np.maximum(np.abs(eta), 1.0)
    size = max(np.abs(g).max(), np.abs(w).max(), np.abs(dw).max())
    dev = lambda e: pw * m.unit_deviance(y, m.inverse_link(e))  # noqa: E731
    for got, want in ((g, -0.5 * fd(dev, eta, h)), (w, -fd(lambda e: rows(e)[0], eta, h)),
                      (dw, fd(lambda e: rows(e)[1], eta, h)), (d2w, fd(lambda e: rows(e)[2], eta, h))):
        np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-7 * size)
    if link == E.families()[FAMILIES.index(family)].links[0] and m.newton_weights_positive:
        assert np.all(w > 0)
    fisher, residual = T.working(m, y, eta, pw, False)[:2]
    if m.link in ("logit", "identity" if family == "gaussian" else "", "1/mu^2") or \
            (family in ("poisson", "quasipoisson") and m.link == "log"):
        np.testing.assert_allclose(w, fisher, rtol=1e-10)
    if m.newton_is_fisher:  # a fit then reuses a plain pass as the observed information's
        np.testing.assert_allclose(w, fisher, rtol=1e-10)
        np.testing.assert_allclose(g / w, residual, rtol=1e-9, atol=1e-12 * np.abs(residual).max())


@pytest.mark.parametrize("family", [f for f in FAMILIES if "criterion" in E.families()[FAMILIES.index(f)].parameter_estimation])
def test_parameter_derivatives_match_finite_differences(rng, family):
    params, phi, draw, logf, _ = REFERENCE[family]
    mu = means(rng, family, 80)
    y = np.concatenate([draw(rng, mu[:-3], phi), [0.0, 70.0, 2.5]])  # large and non-integer counts too
    eta, pw = np.log(mu), rng.uniform(0.5, 2.0, size=mu.size)
    rows = lambda psi: T.family_rows(E.ResponseModel(family, "", [math.exp(psi)]), y, eta, pw, "parameter")  # noqa: E731
    newton = lambda psi, e: T.family_rows(E.ResponseModel(family, "", [math.exp(psi)]), y, e, pw, "newton")  # noqa: E731
    psi = math.log(params[0])
    ll, l1, l2, g1, g2, w1, w2, w_eta = rows(psi)
    whole = y == np.round(y)
    np.testing.assert_allclose(ll[whole], (pw * logf(y, mu, phi))[whole], rtol=1e-10)
    h = 1e-5
    want = [fd(lambda q: rows(q)[0], psi, h), fd(lambda q: rows(q)[1], psi, h),
            fd(lambda q: newton(q, eta)[0], psi, h), fd(lambda q: rows(q)[3], psi, h),
            fd(lambda q: newton(q, eta)[1], psi, h), fd(lambda q: rows(q)[5], psi, h),
            fd(lambda e: rows(psi)[5] * 0 + T.family_rows(E.ResponseModel(family, "", params), y, e, pw, "parameter")[5], eta, h)]
    for got, w in zip((l1, l2, g1, g2, w1, w2, w_eta), want):
        np.testing.assert_allclose(got, w, rtol=1e-5, atol=1e-7 * (np.abs(w).max() + 1))


def simulated(rng, family, n, link=""):
    X = rng.uniform(size=(n, 2))
    params, phi, draw, _, _ = REFERENCE[family]
    eta0 = 0.6 * np.sin(2 * np.pi * X[:, 0]) + 0.4 * X[:, 1]
    mu = 1 / (1 + np.exp(-eta0)) if "binomial" in family else np.exp(eta0 + 0.3)
    return X, draw(rng, mu, phi), mu


def laplace_derivatives(family, link, X, y, w, rho, psi):
    """The criterion, gradient and Hessian at (rho, psi), with penalized IRLS converged."""
    import velkan._laplace as laplace
    cls = velkan._families.CLASSES[family]
    fixed = {} if psi is not None else dict(zip([p[0] for p in cls().info.parameters], REFERENCE[family][0]))
    fam = cls(link=link or None, **fixed)
    fit = GAM(s(0, k=7, bs="ps") + s(1, k=6, bs="ps"), family=fam, method="PQL").fit(X, y, w)._fitted
    lay = fit.engine_layout()
    run_pass = lambda la, b, fr, cs, request=None: E.accumulate(la, list(X.T), y, w, None, fam.model, b, fr, cs, 1, request=request)  # noqa: E731
    known = math.nan if fam.info.scale_estimated else 1.0
    search = laplace.LaplaceSearch(lay, run_pass, fam.model, rho=rho, free=[True, True], psi=psi,
                                   known_scale=known, lower=rho - 40, upper=rho + 40, log=print)

    def at(x):
        point = search.inner_fit(x[:2], x[2] if psi is not None else None, fit.beta_raw)
        search.differentiate(point)
        return point
    at.search = search
    return at


@pytest.mark.parametrize("family,link", [(f, "") for f in FAMILIES] + [("binomial", "probit"), ("gamma", "identity"),
                                                                        ("poisson", "sqrt"), ("gaussian", "log")])
def test_laplace_criterion_derivatives_match_finite_differences(rng, family, link, monkeypatch):
    import velkan._laplace as laplace
    monkeypatch.setattr(laplace, "INNER_TOLERANCE", 1e-15)
    monkeypatch.setattr(laplace, "INNER_DECREMENT", 1e-15)
    X, y, _ = simulated(rng, family, 400)
    w = rng.uniform(0.5, 2.0, size=y.size)
    parameter = "criterion" in E.families()[FAMILIES.index(family)].parameter_estimation
    x0 = np.array([0.5, 2.0] + ([math.log(1.7)] if parameter else []))
    at = laplace_derivatives(family, link, X, y, w, x0[:2].copy(), x0[2] if parameter else None)
    point = at(x0)
    # A pass for the gradient alone gives the same gradient, and no Hessian.
    alone = at.search.pass_at(point.beta_raw, point.model, point.criterion.request.gradient_only())
    np.testing.assert_allclose(point.criterion.gradient(alone), point.gradient, rtol=1e-10,
                               atol=1e-12 * np.abs(point.gradient).max())
    with pytest.raises(ValueError, match="for the gradient alone"):
        point.criterion.derivatives(alone)
    h = 3e-3  # the criterion is exact to about 1e-9 relative (IRLS converged that far)
    for a in range(len(x0)):
        e = h * np.eye(len(x0))[a]
        up, dn = at(x0 + e), at(x0 - e)
        g = (up.criterion.score - dn.criterion.score) / (2 * h)
        assert point.gradient[a] == pytest.approx(g, rel=1e-4, abs=1e-5 * np.abs(point.gradient).max())
        np.testing.assert_allclose(point.hessian[a], (up.gradient - dn.gradient) / (2 * h),
                                   rtol=1e-4, atol=1e-5 * np.abs(point.hessian).max())


@pytest.mark.parametrize("family", FAMILIES)
def test_integer_weights_equal_repeated_rows(rng, family):
    X, y, _ = simulated(rng, family, 300)
    reps = rng.integers(1, 4, size=y.size)
    params = dict(zip([p[0] for p in velkan._families.CLASSES[family]().info.parameters], REFERENCE[family][0]))
    fam = velkan._families.CLASSES[family](**params)
    for method in ("REML", "PQL"):
        terms = s(0, lam=2.0) + s(1, lam=0.5)
        a = GAM(terms, family=fam, method=method).fit(X, y, sample_weight=reps)
        b = GAM(terms, family=fam, method=method).fit(np.repeat(X, reps, axis=0), np.repeat(y, reps))
        np.testing.assert_allclose(a.coef_, b.coef_, rtol=1e-7, atol=1e-9)
        assert a.deviance_ == pytest.approx(b.deviance_, rel=1e-9)


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("weighted", [False, True])
def test_deviance_log_likelihood_and_aic_of_a_fit(rng, family, weighted):
    params, phi, draw, logf, ml_scale = REFERENCE[family]
    n = 500
    X, y, _ = simulated(rng, family, n)
    w = rng.integers(1, 4, size=n).astype(float) if weighted else np.ones(n)
    gam = GAM(s(0) + l(1), family=family, tol=1e-12).fit(X, y, sample_weight=w)
    sm, mu = gam.summary(), gam.predict(X)
    fam = gam._fitted.family_object
    m = fam.model
    assert gam.deviance_ == pytest.approx(np.sum(w * m.unit_deviance(y, mu)), rel=1e-7)
    mean = np.full(n, np.average(y, weights=w))
    assert sm.null_deviance == pytest.approx(np.sum(w * m.unit_deviance(y, mean)), rel=1e-8)
    estimated = gam._fitted.parameter_intervals or {}
    if logf is None:
        assert math.isnan(sm.log_likelihood) and math.isnan(sm.aic)
        return
    if family == "negative_binomial":
        theta = fam.parameters["theta"]
        ll = np.sum(w * stats.nbinom.logpmf(y, theta, theta / (theta + mu)))
    elif family == "tweedie":  # at the maximum-likelihood scale
        from scipy.optimize import minimize_scalar
        best = minimize_scalar(lambda t: -np.sum(w * tweedie_logpdf(y, mu, math.exp(t), fam.parameters["power"], 150)),
                               bounds=(math.log(gam.scale_) - 1, math.log(gam.scale_) + 1), method="bounded",
                               options={"xatol": 1e-7})
        ll = -best.fun
    elif family == "gamma":  # the maximum-likelihood shape, approximated by sum w / deviance
        ll = np.sum(w * stats.gamma.logpdf(y, w.sum() / gam.deviance_, scale=mu * gam.deviance_ / w.sum()))
    else:
        ll = np.sum(w * logf(y, mu, ml_scale(gam.deviance_, w.sum()) if ml_scale else 1.0))
    assert sm.log_likelihood == pytest.approx(ll, rel=1e-6)
    # AIC counts the edf of the corrected covariance (the smoothing parameters' share added),
    # the scale where estimated and each estimated family parameter.
    assert sm.edf_corrected >= sm.edf - 1e-9
    k = sm.edf_corrected + (1.0 if fam.info.scale_estimated else 0.0) + len(estimated)
    assert sm.aic == pytest.approx(-2 * sm.log_likelihood + 2 * k, rel=1e-9)


def test_theta_and_power_are_recovered(rng):
    n = 4000
    X = rng.uniform(size=(n, 2))
    mu = np.exp(np.sin(2 * np.pi * X[:, 0]) + X[:, 1])
    y = rng.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float)
    for method in ("REML", "PQL"):  # with the smoothing parameters; between passes
        nb = GAM(s(0) + s(1), family="negative_binomial", method=method).fit(X, y)
        theta, (lo, hi) = nb._fitted.family_parameters["theta"], nb._fitted.parameter_intervals["theta"]
        assert abs(theta / 2.0 - 1) < 0.15 and lo < 2.0 < hi and lo < theta < hi
    assert f"theta = {theta:.4g} (estimated, 95 % interval {lo:.4g} to {hi:.4g})" in str(nb.summary())
    y = tweedie_draw(rng, mu, 1.5, 1.4)
    tw = GAM(s(0) + s(1), family="tweedie").fit(X, y)
    p, (lo, hi) = tw._fitted.family_parameters["power"], tw._fitted.parameter_intervals["power"]
    assert abs(p - 1.4) < 0.05 and lo < 1.4 < hi
    assert tw.scale_ == pytest.approx(1.5, rel=0.1)


def test_a_link_that_can_leave_the_domain_is_halved_back_not_clamped(rng):
    # counts whose mean nearly touches zero under the identity link
    X = rng.uniform(size=(2000, 1))
    mu = 0.02 + 3 * X[:, 0] ** 2
    y = rng.poisson(mu).astype(float)
    gam = GAM(s(0), family=velkan.Poisson(link="identity")).fit(X, y)
    assert gam.converged_ and np.all(gam.predict(X) > 0)
    assert np.sqrt(np.mean((gam.predict(X) - mu) ** 2)) < 0.1
    with pytest.raises(ValueError, match="has no link 'logit'; its links are 'log', 'identity', 'sqrt'"):
        velkan.Poisson(link="logit")


@pytest.mark.parametrize("seed,link", [(0, "identity"), (1, "log")])
def test_performance_iteration_that_goes_round_settles_at_a_fixed_point(seed, link):
    """A 250-level random effect of noise under an inverse Gaussian's non-canonical link:
    its working models alternate between a wiggly and a null random effect (a cycle of two
    fits for the first data set, three for the second, and no convergence in 100
    iterations before the moves were damped). The damped fit converges, and at its
    smoothing parameters penalized IRLS gives the same coefficients."""
    rng = np.random.default_rng(seed)
    X, y, _ = simulated(rng, "inverse_gaussian", 600)
    X = np.column_stack([X, rng.permutation(np.arange(len(y)) % 250)])
    fam = velkan.InverseGaussian(link=link)
    with warnings.catch_warnings():
        warnings.simplefilter("error", velkan.ConvergenceWarning)
        gam = GAM(s(0, k=6) + s(1, k=5) + re(2), family=fam, method="PQL").fit(X, y)
        lam = np.exp(gam._fitted.rho)
        fixed = GAM(s(0, k=6, lam=lam[0]) + s(1, k=5, lam=lam[1]) + re(2, lam=lam[2]), family=fam).fit(X, y)
    assert gam.converged_ and gam.n_iter_ < 40
    np.testing.assert_allclose(fixed.predict(X), gam.predict(X), rtol=2e-4)


@pytest.mark.parametrize("family,link", LINKS)
def test_step_reach_is_the_edge_of_the_links_domain(rng, family, link):
    """A pass told where its step started gives the largest fraction of the step that keeps
    every mean inside the domain: a pass just inside that fraction is finite and one just
    beyond it is not; where the domain is eta > 0 (1/mu^2, the inverse and identity links of
    positive means) it is NumPy's min eta0 / (eta0 - eta1) over the rows that left; chunks'
    sums keep the smallest, and the sums pickle with it."""
    import pickle
    X, y, _ = simulated(rng, family, 600)
    X = np.column_stack([X, rng.permutation(np.arange(len(y)) % 250)])  # a random effect: sparse rows
    m = model(family, link)
    cls = velkan._families.CLASSES[family]
    given = dict(zip([p[0] for p in cls().info.parameters], REFERENCE[family][0]))
    with warnings.catch_warnings():  # any coefficients inside the domain serve as the origin
        warnings.simplefilter("ignore", velkan.ConvergenceWarning)
        fit = GAM(s(0, k=6) + s(1, k=5) + re(2), family=cls(link=link, **given), method="PQL").fit(X, y)._fitted
    lay, cols, b0 = fit.engine_layout(), list(X.T), np.asarray(fit.beta_raw)
    assert lay.sparse
    eta0 = E.linear_predictor(lay, cols, b0, None, len(y))
    offset = 0.1 * eta0 * rng.uniform(size=len(y))  # both ends of the step keep it
    eta0 = eta0 + offset
    b1 = b0 + rng.normal(size=b0.size) * 3 * np.abs(eta0).max() - 2 * b0
    pass_at = lambda b, rows=slice(None): E.accumulate(  # noqa: E731
        lay, [c[rows] for c in cols], y[rows], None, offset[rows], m, b, False, False, 1,
        request=E.PassRequest(m, step_origin=b0))
    sums = pass_at(b1)
    reach = sums.step_reach
    assert 0.0 <= reach <= 1.0 and pass_at(b0).step_reach == 1.0
    if sums.finite:
        assert reach == 1.0
    if reach < 1.0:
        assert not sums.finite and pass_at(b0 + reach * (1 - 1e-7) * (b1 - b0)).finite
        assert not pass_at(b0 + min(1.0, reach + 1e-6) * (b1 - b0)).finite
    positive = m.info.support_lower == 0.0 and link in ("1/mu^2", "inverse", "identity")
    if positive:
        eta1 = E.linear_predictor(lay, cols, b1, offset, len(y))
        out = eta1 <= 0
        assert out.any() and reach == pytest.approx(np.min(eta0[out] / (eta0[out] - eta1[out])), abs=1e-8)
    halves = pass_at(b1, slice(0, 300)) + pass_at(b1, slice(300, None))  # exact to 1e-9 (bisection)
    assert halves.step_reach == pytest.approx(reach, abs=2e-9) and pickle.loads(pickle.dumps(sums)).step_reach == reach
    with pytest.raises(ValueError, match=f"3 step-origin coefficients for a design of {b0.size} columns"):
        E.accumulate(lay, cols, y, None, offset, m, b1, False, False, 1, request=E.PassRequest(m, step_origin=b0[:3]))
    request = pickle.loads(pickle.dumps(E.PassRequest(m, step_origin=b0)))
    got = E.accumulate(lay, cols, y, None, offset, m, b1, False, False, 1, request=request)
    assert got.step_reach == reach


@pytest.mark.parametrize("family", [f for f in FAMILIES if "profile" in E.families()[FAMILIES.index(f)].parameter_estimation])
def test_a_pass_for_the_profile_density_alone_gives_the_same_density(rng, family):
    """A profile pass that skips the cross products (and the same request pickled, as Dask
    sends it) gives the density sums and the deviance of a full pass, and no cross
    products: they must not be read as if they were."""
    import pickle
    X, y, _ = simulated(rng, family, 3000)
    m = model(family)
    cls = velkan._families.CLASSES[family]
    given = dict(zip([p[0] for p in cls().info.parameters], REFERENCE[family][0]))
    fit = GAM(s(0) + s(1), family=cls(**given), method="PQL").fit(X, y)._fitted
    at = lambda request: E.accumulate(fit.engine_layout(), list(X.T), y, None, None, m, fit.beta_raw,  # noqa: E731
                                      False, False, 1, request=request)
    full = at(E.PassRequest(m, profile_scale=fit.scale))
    alone = at(pickle.loads(pickle.dumps(E.PassRequest(m, profile_scale=fit.scale, cross_products=False))))
    assert alone.profile_sums == full.profile_sums and alone.deviance == full.deviance
    assert np.abs(np.asarray(full.xtwx)).max() > 0 and not np.any(np.asarray(alone.xtwx))


def test_a_step_cut_to_the_domain_edge_fits_as_halving_does(rng, monkeypatch):
    """An inverse Gaussian at 1/mu^2 whose working steps keep leaving the domain (its fit
    lies near the edge): cutting them where the pass says they leave gives the fit that
    halving them gives, in fewer passes."""
    from velkan import _fit
    n = 20000
    X = rng.uniform(size=(n, 3))
    mu = np.exp(np.sin(2 * np.pi * X[:, 0]) + np.exp(2 * X[:, 1]) / np.e ** 2 + 0.5 * X[:, 2] - 0.5)
    y = rng.wald(mu, 4.0)
    fits = {}
    for how in ("cut", "halved"):
        if how == "halved":
            monkeypatch.setattr(_fit, "cut_fraction", lambda sums: 0.5)
        fits[how] = GAM(s(0) + s(1) + s(2), family="inverse_gaussian").fit(X, y)
    cut, halved = fits["cut"], fits["halved"]
    assert cut.converged_ and cut._fitted.passes < halved._fitted.passes
    np.testing.assert_allclose(cut.predict(X), halved.predict(X), rtol=1e-4)
    np.testing.assert_allclose(cut._fitted.rho, halved._fitted.rho, atol=0.02)


@pytest.mark.parametrize("shape", ["parabola", "skewed", "flat-topped", "at-the-end"])
def test_profile_search_finds_the_maximum(shape):
    """The profile search over a family parameter against scipy's bounded minimiser, on
    smooth log-likelihood shapes like L(p), with derivatives by central differences as the
    search takes them, and a slope that is off at the points it calls rough (performance-
    iteration fits before REML's): within its tolerance, in a few evaluations, ending on a
    point that is not rough."""
    from scipy.optimize import minimize_scalar

    from velkan._profile import newton_search
    f = {"parabola": lambda q: -3e4 * (q - 1.43) ** 2,
         "skewed": lambda q: -2e5 * (q - 1.62) ** 2 + 4e5 * (q - 1.62) ** 3 - 1e5 * (q - 1.62) ** 4,
         "flat-topped": lambda q: -50.0 * (q - 1.3) ** 4 - 1.0 * (q - 1.3) ** 2,
         "at-the-end": lambda q: 40.0 * q}[shape]
    calls, h = [], 5e-3

    def local(q, rough):
        calls.append(q)
        g = (lambda x: f(x) + 20.0 * x) if rough else f
        return g(q), (g(q + h) - g(q - h)) / (2 * h), (g(q + h) - 2 * g(q) + g(q - h)) / h ** 2
    best, curvature = newton_search(local, 1.01, 1.99, 1.5, 1e-3, 30)
    ref = minimize_scalar(lambda q: -f(q), bounds=(1.01, 1.99), method="bounded", options={"xatol": 1e-7}).x
    assert best == pytest.approx(ref, abs=2e-3) and 2 <= len(calls) <= 12 and best != calls[0]
    if shape == "parabola":  # a long first step, then the exact function at its end, where Newton is exact
        assert len(calls) == 3 and curvature == pytest.approx(-6e4, rel=1e-6)


@pytest.mark.parametrize("family,given", [("negative_binomial", {}), ("tweedie", {"power": 1.5})])
def test_laplace_fit_is_the_same_from_its_own_passes_or_fisher_passes(rng, family, given, monkeypatch):
    """Performance iteration hands the Laplace search its last pass (Newton's weights and
    the parameter's sums), and the polishing pass gives the profile density and the
    response sums: the fit must agree with one whose search makes every pass itself, to
    within the search's tolerance (0.05 standard errors of the log smoothing parameters and
    of the family parameter), and its log-likelihood with the profile iterated to
    convergence at its own coefficients (1e-9)."""
    from velkan import _fit, _profile
    X, y, _ = simulated(rng, family, 3000)
    fam = getattr(velkan, E.families()[FAMILIES.index(family)].class_name)(**given)
    a = GAM(s(0) + l(1), family=fam).fit(X, y)
    fitted = a._fitted
    if fitted.log_likelihood is not None:
        def run_pass(layout, beta, from_response, column_sums, request=None):
            return E.accumulate(layout, list(X.T), y, None, None, fitted.model, beta, from_response,
                                column_sums, 1, request=request)
        monkeypatch.setattr(_profile, "SCALE_EXTRAPOLATE", 1e-12)
        full, _, _ = _profile.profile_log_likelihood(fitted, run_pass, fitted.model)
        assert fitted.log_likelihood == pytest.approx(full, rel=1e-9)
    monkeypatch.setattr(_fit.PirlsLoop, "newton_passes", lambda self: False)
    monkeypatch.setattr(_fit.PirlsLoop, "profiled_density", lambda self: False)
    b = GAM(s(0) + l(1), family=fam).fit(X, y)
    se = np.sqrt(np.diag(np.linalg.inv(b._fitted.rho_hessian)))
    assert np.all(np.abs(fitted.rho - b._fitted.rho) < 0.05 * se)
    for name, (low, high) in (b._fitted.parameter_intervals or {}).items():
        assert abs(fitted.family_parameters[name] - b._fitted.family_parameters[name]) < 0.05 * (high - low) / 3.92
    assert fitted.passes < b._fitted.passes
