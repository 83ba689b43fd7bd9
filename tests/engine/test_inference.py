"""Inference of velkan.GAM: covariances, edf and standard errors against dense NumPy,
intervals, term tests, model statistics and the reference distributions."""

import math
import warnings

import numpy as np
import pytest
from scipy import integrate, stats

from velkan import GAM, ConvergenceWarning, f, l, s, te
from velkan import _engine as E
from velkan._inference import covariances, term_edf

T = pytest.importorskip("_velkan_testing").engine


def dense(gam, X):
    """Raw design of X and the map Z from the fit's coefficients to the raw ones."""
    fit = gam._fitted
    lay = fit.engine_layout()
    D = lay.design([X[:, j] for j in range(X.shape[1])])
    Z = np.column_stack([lay.expand(e) for e in np.eye(lay.coefficients)])
    return D, Z, lay


def penalized_solution(gam, Xc, w, z, rho):
    """Dense penalized weighted least squares at log smoothing parameters rho."""
    lay = gam._fitted.engine_layout()
    H = Xc.T @ (w[:, None] * Xc)
    for (o, S), r in zip(lay.constrained_penalties(), rho):
        H[o:o + len(S), o:o + len(S)] += math.exp(r) * S
    return H, np.linalg.solve(H, Xc.T @ (w * z))


def integrated(gam, Xc, w, z, G, fit, alone):
    """Vp + sum over the rho_j whose penalty is alone on its coefficients of the mixture
    over its grid, from dense solutions."""
    pens = gam._fitted.engine_layout().constrained_penalties()
    out = fit.scale * np.linalg.inv(penalized_solution(gam, Xc, w, z, fit.rho)[0])
    base = out.copy()
    for j in np.flatnonzero(alone):
        o, S = pens[j]
        rank = np.linalg.matrix_rank(S)
        grid = fit.rho[j] + np.arange(-12.0, 12.25, 0.5)
        edges = np.concatenate([[grid[0]], 0.5 * (grid[1:] + grid[:-1]), [grid[-1]]])

        def at(r):
            rho = fit.rho.copy()
            rho[j] = r
            H, beta = penalized_solution(gam, Xc, w, z, rho)
            crit = -beta @ H @ beta / (2 * fit.scale) + 0.5 * np.linalg.slogdet(H)[1] - 0.5 * rank * r
            edf = np.trace(np.linalg.solve(H, G)[o:o + len(S), o:o + len(S)])
            return crit, edf, beta, fit.scale * np.linalg.inv(H)
        points = [at(r) for r in grid]
        crit = np.array([p[0] for p in points])
        weight = np.exp(-(crit - crit.min())) * np.abs(np.diff([at(r)[1] for r in edges]))
        weight /= weight.sum()
        out += sum(wg * (p[3] + np.outer(p[2] - fit.beta, p[2] - fit.beta)) for wg, p in zip(weight, points)) - base
    return out


@pytest.mark.parametrize("family, tensor", [("gaussian", False), ("poisson", False), ("gaussian", True)])
def test_covariances_edf_and_standard_errors_match_dense_numpy(rng, family, tensor):
    n = 400
    X = rng.uniform(size=(n, 3))
    eta = np.sin(2 * np.pi * X[:, 0]) + X[:, 1] ** 2 + (np.sin(3 * np.pi * X[:, 2]) if tensor else 0.5 * X[:, 2])
    y = eta + 0.3 * rng.normal(size=n) if family == "gaussian" else rng.poisson(np.exp(eta)).astype(float)
    terms = te(0, 1, k=5) + s(2, k=6) if tensor else s(0, k=8) + s(1, k=6, bs="cr") + l(2)
    gam = GAM(terms, family=family, tol=1e-12).fit(X, y)
    fit, cov = gam._fitted, covariances(gam._fitted)
    D, Z, lay = dense(gam, X)
    Xc = D @ Z
    mu = gam.predict(X)
    w = np.ones(n) if family == "gaussian" else mu
    z = Xc @ fit.beta + (y - mu) / (1.0 if family == "gaussian" else mu)  # working response
    H, beta = penalized_solution(gam, Xc, w, z, fit.rho)
    G = Xc.T @ (w[:, None] * Xc)
    Hinv = np.linalg.inv(H)
    np.testing.assert_allclose(beta, fit.beta, rtol=1e-5, atol=1e-7)
    np.testing.assert_allclose(cov.vp, fit.scale * Hinv, rtol=1e-5, atol=1e-12)
    np.testing.assert_allclose(cov.ve, fit.scale * Hinv @ G @ Hinv, rtol=1e-5, atol=1e-12)
    np.testing.assert_allclose(cov.edf, np.diag(Hinv @ G), rtol=1e-5, atol=1e-9)
    # Vc = Vp + J V_rho J' + V'': J from central differences of the dense solution in rho,
    # V'' = sum V_rho[j, k] dL_j dL_k' from central differences of the Cholesky factor L of
    # Vp(rho) at the fit's weights.
    h = 1e-5
    steps = [(penalized_solution(gam, Xc, w, z, fit.rho + h * e), penalized_solution(gam, Xc, w, z, fit.rho - h * e))
             for e in np.eye(len(fit.rho))]
    J = np.column_stack([(up[1] - down[1]) / (2 * h) for up, down in steps])
    factor = lambda H: np.linalg.cholesky(fit.scale * np.linalg.inv(H))
    dL = [(factor(up[0]) - factor(down[0])) / (2 * h) for up, down in steps]
    vals, vecs = np.linalg.eigh(fit.rho_hessian)
    v_rho = vecs @ np.diag(np.minimum(1 / np.maximum(vals, 1e-300), 2500 / 12)) @ vecs.T
    second = sum(v_rho[j, k] * dL[j] @ dL[k].T for j in range(len(dL)) for k in range(len(dL)))
    assert np.abs(second).max() > 1e-3 * np.abs(cov.vp).max()
    np.testing.assert_allclose(cov.vc_tests, cov.vp + J @ v_rho @ J.T + second, rtol=1e-4, atol=1e-9)
    # The corrected edf counts the first-order part only.
    assert cov.edf_corrected == pytest.approx(np.trace((cov.vp + J @ v_rho @ J.T) @ G) / fit.scale, rel=1e-6)
    # Vc integrates each rho whose penalty is alone on its coefficients over a grid: dense
    # solutions weighted by exp(-criterion) of the working model times the edf each grid
    # cell spans, centred at the fit. A tensor's marginal rho keep the expansion, over
    # their own block of V_rho.
    alone = [not tensor or j == len(fit.rho) - 1 for j in range(len(fit.rho))]
    shared = np.flatnonzero(np.logical_not(alone))
    v_shared = np.zeros_like(v_rho)
    v_shared[np.ix_(shared, shared)] = v_rho[np.ix_(shared, shared)]
    expansion = J @ v_shared @ J.T + sum(v_shared[j, k] * dL[j] @ dL[k].T for j in shared for k in shared)
    np.testing.assert_allclose(cov.vc, integrated(gam, Xc, w, z, G, fit, alone) + expansion,
                               rtol=1e-4, atol=1e-9)
    # Row-wise standard errors of new rows, whole model and each term's block.
    Xn = rng.uniform(size=(50, 3))
    Dn = dense(gam, Xn)[0]
    Vraw = Z @ cov.vc @ Z.T
    _, se = gam.predict(Xn, return_std=True)
    np.testing.assert_allclose(se, np.sqrt(np.einsum("ij,jk,ik->i", Dn, Vraw, Dn)), rtol=1e-9)
    for t in range(1, len(fit.terms)):
        o, q = lay.offset(t), lay.term_width(t)
        effect, se_t = gam.partial_effect(t, Xn)
        B = Dn[:, o:o + q]
        np.testing.assert_allclose(effect, B @ fit.beta_raw[o:o + q], rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(se_t, np.sqrt(np.einsum("ij,jk,ik->i", B, Vraw[o:o + q, o:o + q], B)),
                                   rtol=1e-9, atol=1e-14)


@pytest.mark.parametrize("bs, null_dim", [("ps", 1), ("cr", 1), ("cc", 0)])
@pytest.mark.parametrize("truth", ["linear", "wiggly"])
def test_term_edf_lies_between_null_space_and_width(rng, bs, null_dim, truth):
    n = 1500
    X = rng.uniform(size=(n, 1))
    if truth == "linear":
        y = (X[:, 0] if bs != "cc" else 0.0) + rng.normal(size=n)
    else:
        y = np.sin(4 * np.pi * X[:, 0]) ** 3 + 1e-3 * rng.normal(size=n)
    gam = GAM(s(0, k=8, bs=bs)).fit(X, y)
    edf = term_edf(gam._fitted)[1]
    width = gam._fitted.engine_layout().coefficient_width(1)
    assert null_dim - 1e-6 <= edf <= width + 1e-6
    # a wiggly truth without noise uses nearly all of the basis; a linear one its null space
    assert (edf > width - 0.5) if truth == "wiggly" else (edf < null_dim + 1.0)


@pytest.mark.parametrize("family", ["gaussian", "binomial"])
def test_intervals_widen_where_the_data_are_sparse(rng, family):
    x = np.concatenate([rng.uniform(0, 0.5, size=1900), rng.uniform(0.5, 1, size=40)])
    eta = np.sin(2 * np.pi * x)
    y = eta + 0.3 * rng.normal(size=x.size) if family == "gaussian" else rng.binomial(1, 1 / (1 + np.exp(-eta))).astype(float)
    gam = GAM(s(0), family=family).fit(x[:, None], y)
    grid = np.array([[0.25], [0.85]])
    _, se = gam.predict(grid, return_std=True)
    assert se[1] > 2.5 * se[0]
    ci = gam.confidence_intervals(grid, level=0.9)
    mean = gam.predict(grid)
    assert np.all(ci[:, 0] < mean) and np.all(mean < ci[:, 1])
    assert ci[1, 1] - ci[1, 0] > ci[0, 1] - ci[0, 0]
    wider = gam.confidence_intervals(grid, level=0.99)
    assert np.all(wider[:, 0] < ci[:, 0]) and np.all(wider[:, 1] > ci[:, 1])
    if family == "gaussian":
        pi = gam.prediction_intervals(grid, level=0.9)
        half = E.normal_quantile(0.95) * np.sqrt(se ** 2 + gam.scale_)
        np.testing.assert_allclose(pi, np.column_stack([mean - half, mean + half]), rtol=1e-12)
    else:
        assert np.all((ci > 0) & (ci < 1))


def test_rank_deficient_terms_give_finite_results(rng):
    n = 300
    X = np.column_stack([rng.choice([0.1, 0.5, 0.9], size=n), rng.uniform(size=n), rng.uniform(size=n)])
    X[:, 2] = X[:, 1]  # aliased with column 1
    y = X[:, 0] + 2 * X[:, 1] + 0.2 * rng.normal(size=n)
    with pytest.warns(ConvergenceWarning, match="not determined"):
        gam = GAM(s(0, k=10) + l(1) + l(2)).fit(X, y)
    summary = gam.summary()
    smooth = summary.terms[0]
    assert all(math.isfinite(v) for v in smooth[1:]) and smooth.edf <= 2.0 + 1e-6  # 3 values: 2 df
    pred, se = gam.predict(X, return_std=True)
    assert np.all(np.isfinite(se)) and np.all(se > 0)
    coefs = {c.name: c for c in summary.coefficients}
    kept, held = sorted(["l(1)", "l(2)"], key=lambda k: math.isnan(coefs[k].std_error))
    assert math.isnan(coefs[held].std_error) and coefs[held].estimate == pytest.approx(0, abs=1e-6)
    # The determined slope has the standard error of the model without the aliased column
    # (up to the scale estimate, whose degrees of freedom count the aliased column).
    alone = GAM(s(0, k=10) + l(1)).fit(X[:, :2], y)
    ratio = math.sqrt(gam.scale_ / alone.scale_)
    assert coefs[kept].std_error == pytest.approx(alone.summary().coefficients[1].std_error * ratio, rel=1e-5)


def test_offset_null_deviance_exact_for_gaussian_and_nan_otherwise(rng):
    X = rng.uniform(size=(400, 1))
    off = rng.normal(size=400)
    y = 1e6 + off + np.sin(3 * X[:, 0]) + 0.1 * rng.normal(size=400)
    sm = GAM(s(0)).fit(X, y, offset=off).summary()
    assert sm.null_deviance == pytest.approx(np.sum((y - off - np.mean(y - off)) ** 2), rel=1e-9)
    counts = rng.poisson(np.exp(off)).astype(float)
    assert math.isnan(GAM(s(0), family="poisson").fit(X, counts, offset=off).summary().deviance_explained)


def test_summary_tests_and_table(rng):
    n = 800
    X = rng.uniform(size=(n, 3))
    X[:, 2] = rng.integers(0, 3, size=n)
    y = np.sin(2 * np.pi * X[:, 0]) + 0.4 * X[:, 2] + 0.5 * rng.normal(size=n)  # x1 has no effect
    sm = GAM(s(0) + s(1) + f(2)).fit(X, y).summary()
    (t0, t1), coefs = sm.terms, {c.name: c for c in sm.coefficients}
    assert t0.p_value < 1e-20 and t1.p_value > 1e-3 and 1.0 <= t1.ref_df <= 9.0
    assert list(coefs) == ["(Intercept)", "f(2)[1.0]", "f(2)[2.0]"]
    c = coefs["f(2)[2.0]"]
    assert c.p_value == pytest.approx(2 * stats.t.sf(abs(c.estimate / c.std_error), sm.residual_df), rel=1e-8)
    assert sm.reml == pytest.approx(sm.score) and sm.n == n and sm.converged
    # Few rows: Student's t with the residual degrees of freedom (estimated scale) and the
    # normal distribution (known scale) give visibly different p-values.
    x = X[:40, :1]
    counts = rng.poisson(np.exp(0.8 * x[:, 0])).astype(float)
    for family, y_small, reference in (("gaussian", 0.3 * x[:, 0] + 0.3 * rng.normal(size=40), "t"),
                                       ("poisson", counts, "normal")):
        small = GAM(l(0), family=family).fit(x, y_small).summary()
        c = small.coefficients[1]
        z = abs(c.estimate / c.std_error)
        t_p, normal_p = 2 * stats.t.sf(z, small.residual_df), 2 * stats.norm.sf(z)
        assert abs(t_p - normal_p) > 1e-3 * normal_p
        assert c.p_value == pytest.approx(t_p if reference == "t" else normal_p, rel=1e-8)
    text = str(sm)
    assert "s(0, k=25, bs='cr')" in text and "f(2)[2.0]" in text and "deviance explained" in text


def test_argument_errors(rng):
    X = rng.uniform(size=(200, 2))
    gam = GAM(s(0) + l(1), family="poisson").fit(X, rng.poisson(2.0, size=200).astype(float))
    cases = [(lambda: gam.confidence_intervals(X, level=1.0), ValueError, "level"),
             (lambda: gam.prediction_intervals(X), ValueError, "gaussian"),
             (lambda: gam.partial_effect(3, X), ValueError, "out of range"),
             (lambda: gam.partial_effect("s(7)", X), ValueError, "not in the model"),
             (lambda: gam.partial_effect(1.5, X), TypeError, "term must be"),
             (lambda: GAM().summary(), RuntimeError, "not fitted")]
    for call, error, match in cases:
        with pytest.raises(error, match=match):
            call()
    by_object, by_label = gam.partial_effect(s(0), X[:5]), gam.partial_effect("l(1)", X[:5])
    np.testing.assert_array_equal(by_object[0], gam.partial_effect(1, X[:5])[0])
    np.testing.assert_array_equal(by_label[1], gam.partial_effect(2, X[:5])[1])


def mixture_sf(x, k, nu):
    """P(C_k + nu C_1 > x) by quadrature over C_1."""
    inner = lambda c: stats.chi2.pdf(c, 1) * stats.chi2.sf(x - nu * c, k)
    return stats.chi2.sf(x / nu, 1) + integrate.quad(inner, 0, x / nu, limit=500, epsabs=0, epsrel=1e-12)[0]


@pytest.mark.parametrize("x", [0.3, 2.0, 7.5, 40.0])
def test_reference_distributions(x):
    for df in (0.6, 1.0, 4.5, 60.0):
        assert T.chi_square_upper(x, df) == pytest.approx(stats.chi2.sf(x, df), rel=1e-11)
        assert T.student_t_two_sided(x, df) == pytest.approx(2 * stats.t.sf(x, df), rel=1e-10)
        for df2 in (3.0, 500.0):
            assert T.f_upper(x, df, df2) == pytest.approx(stats.f.sf(x, df, df2), rel=1e-9)
    for k, nu in ((1, 0.5), (3, 0.2), (6, 0.9)):
        assert T.chi_square_mixture_upper(x, k, nu) == pytest.approx(mixture_sf(x, k, nu), rel=1e-7, abs=1e-15)
    p = stats.norm.cdf(-x / 2)
    assert E.normal_quantile(p) == pytest.approx(-x / 2, rel=1e-12)
    assert E.normal_quantile(stats.norm.cdf(x / 8)) == pytest.approx(x / 8, rel=1e-9)
