"""The REML criterion against a NumPy oracle, its derivatives against finite differences,
the penalty square roots, the block-wise triangle, and the anchored residual sums."""
import numpy as np
import pytest

import _velkan_testing as vt
import velkan_core
from tests.oracles import additive, cr_penalty, fd, ridge, ridged_solve

hessian = velkan_core.reml_hessian_multi_qr_py
MISMATCH = "Matrix dimension mismatch: "


def oracle(y, X, w, lambdas, penalties, ranks):
    """The score in NumPy; `ranks` the expected r_j, None where lambda_j <= 1e-10."""
    used = min(len(lambdas), len(penalties))
    xtwx = X.T @ (w[:, None] * X)
    a = sum((l * s for l, s in zip(lambdas[:used], penalties[:used])), xtwx)
    beta = ridged_solve(a, xtwx, len(lambdas), X.T @ (w * y))
    a = a + ridge(xtwx, len(lambdas)) * np.eye(len(xtwx))
    rss = np.sum(w * (y - X @ beta) ** 2)
    pen = sum(l * beta @ s @ beta for l, s in zip(lambdas[:used], penalties[:used]))
    r = sum(rj for rj in ranks if rj is not None)
    lsum = sum(rj * np.log(l) for rj, l in zip(ranks, lambdas) if rj is not None)
    phi = rss / (len(y) - r)
    return 0.5 * (np.linalg.slogdet(a)[1] + (rss + pen) / phi + (len(y) - r) * np.log(2 * np.pi * phi) - lsum)


def problem(rng, n=200, p=30):
    X = rng.normal(size=(n, p))
    return X @ rng.normal(size=p) + rng.normal(size=n), X, rng.uniform(0.2, 2.0, n)


def embedded(p, rows):
    """A p x p penalty non-zero on `rows`: second differences from three rows on."""
    s, k = np.zeros((p, p)), len(rows)
    d = np.diff(np.eye(k), 2, axis=0) if k >= 3 else np.eye(k)
    s[np.ix_(rows, rows)] = d.T @ d
    return s


class TestCriterion:
    # (rows of each penalty, lambdas, expected ranks): the rank rule and the lambda threshold.
    @pytest.mark.parametrize("rows, lams, ranks", [
        ([range(10)], [2.0], [8]), ([[3, 4]], [2.0], [0]), ([[7]], [2.0], [1]), ([[]], [2.0], [1]),
        ([range(10)], [1e-10], [None]), ([range(10)], [np.nextafter(1e-10, 1)], [8]),
        ([range(12), range(12, 30)], [0.3, 25.0], [10, 16]),
        ([range(5)], [0.5, 7.0], [3]),  # an extra lambda enters the ridge only
    ])
    def test_against_oracle(self, rows, lams, ranks, rng):
        y, X, w = problem(rng)
        pens = [embedded(30, list(r)) for r in rows]
        want = oracle(y, X, w, lams, pens, ranks)
        assert vt.fit_reml_criterion(y, X, w, lams, pens) == pytest.approx(want, rel=1e-10)

    @pytest.mark.parametrize("p", [999, 1000])  # elimination, then LAPACK
    def test_both_determinant_paths(self, p, rng):
        X = rng.normal(size=(p + 50, p))
        y, w = rng.normal(size=p + 50), np.ones(p + 50)
        got = vt.fit_reml_criterion(y, X, w, [2.0], [np.eye(p)])
        assert got == pytest.approx(oracle(y, X, w, [2.0], [np.eye(p)], [p - 2]), rel=1e-9)

    def test_determinant_beyond_double_range_gives_finite_score(self, rng):
        y, X, w = problem(rng, n=200, p=60)
        X = X * 1e4  # det ~ 1e600
        s = embedded(60, list(range(60)))
        assert vt.fit_reml_criterion(y, X, w, [1.0], [s]) == pytest.approx(oracle(y, X, w, [1.0], [s], [58]), rel=1e-10)

    @pytest.mark.parametrize("lams", [[0.1], [1e-11, 2.0]])
    def test_cached_agrees_with_from_data(self, lams, rng):
        y, X, w = problem(rng, n=500, p=20)
        pens = [embedded(20, list(range(10))), embedded(20, list(range(10, 20)))][:len(lams)]
        xtwx, xtwy, ywy = vt.fit_make_reml_cache(y, X, w)
        np.testing.assert_allclose(xtwx, X.T @ (w[:, None] * X), rtol=1e-12)
        np.testing.assert_allclose(xtwy, X.T @ (w * y), rtol=1e-12)
        assert ywy == pytest.approx(np.sum(w * y * y), rel=1e-13)
        direct = vt.fit_reml_criterion(y, X, w, lams, pens)
        assert vt.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, ywy, lams, pens) == pytest.approx(direct, rel=1e-12)
        # Here the cached RSS is used: a wrong y'Wy moves the score; without one, the data.
        off = vt.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, 1.01 * ywy, lams, pens)
        assert off != pytest.approx(direct, rel=1e-6)
        assert vt.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, np.nan, lams, pens) == direct

    def test_rss_stays_accurate_under_cancellation(self, rng):
        # y nearly in the span of orthogonal columns: RSS ~ 4e-10 y'Wy, which the normal
        # equations would lose six digits of.
        q, _ = np.linalg.qr(rng.normal(size=(40, 30)))
        X, w = 10 * q, np.ones(40)
        off = rng.normal(size=40)
        off -= q @ (q.T @ off)
        y = 1e3 * (X @ rng.normal(size=30)) + 1.1 * off / np.linalg.norm(off)
        s = embedded(30, [0, 1, 2])
        got = vt.fit_reml_criterion_cached(y, X, w, *vt.fit_make_reml_cache(y, X, w), [1e-12], [s])
        assert got == pytest.approx(oracle(y, X, w, [1e-12], [s], [None]), rel=1e-10)

    def test_degenerate(self, rng):
        s = embedded(12, list(range(12)))
        for n in (0, 8):  # no residual degrees of freedom
            assert np.isnan(vt.fit_reml_criterion(*problem(rng, n=n, p=12), [1.0], [s]))
        # A negative lambda cancelling the ridge: the solve refuses before a score exists.
        with pytest.raises(ValueError, match="^Singular matrix encountered$"):
            vt.fit_reml_criterion(np.arange(4.0), np.ones((4, 1)), np.ones(4), [-(4 + 8e-5)], [np.ones((1, 1))])
        with pytest.raises(ValueError) as e:
            vt.fit_reml_criterion(np.ones(10), np.ones((10, 3)), np.ones(8), [1.0], [np.zeros((3, 3))])
        assert str(e.value) == MISMATCH + "X has 10 rows but y has 10 elements and w has 8 elements"


class TestDerivatives:
    # The gradient and the criterion share one ridge that does not move with lambda, so the
    # gradient is the criterion's exact slope and the Hessian the gradient's (both measured
    # within 1e-8 relative here).
    @pytest.mark.parametrize("m, weighted", [(1, False), (2, True), (3, False)])
    def test_gradient_and_hessian_are_the_slopes(self, m, weighted):
        rng = np.random.default_rng(20 + m)
        y, X, w, S = additive(500, [10] * m, seed=m, basis="cr")
        w = rng.uniform(0.2, 3.0, len(y)) if weighted else w
        crit = lambda r: vt.fit_reml_criterion(y, X, w, list(np.exp(r)), S)
        for lambdas in ([1.0] * m, list(np.exp(rng.uniform(-3, 3, m)))):
            g = vt.reml_gradient_multi_qr(y, X, w, lambdas, S)
            np.testing.assert_allclose(g, fd(crit, np.log(lambdas)), rtol=1e-6, atol=1e-7)
            h = hessian(y, X, w, lambdas, S)
            np.testing.assert_array_equal(h, h.T)
            grad = lambda r: vt.reml_gradient_multi_qr(y, X, w, list(np.exp(r)), S)
            np.testing.assert_allclose(h, fd(grad, np.log(lambdas)), rtol=1e-7, atol=1e-7)

    @pytest.mark.parametrize("m", [1, 3])
    def test_paths_agree(self, m):
        # 2500 rows take the block-wise QR, and with X'WX given its Cholesky factor.
        rng = np.random.default_rng(40 + m)
        y, X, w, S = additive(2500, [10] * m, seed=m, basis="cr")
        w = rng.uniform(0.5, 2.0, len(y))
        lambdas = list(np.exp(rng.uniform(-2, 2, m)))
        direct = vt.reml_gradient_multi_qr(y, X, w, lambdas, S)
        roots = [vt.reml_penalty_sqrt(s) for s in S]
        for got in (vt.reml_gradient_blockwise(y, X, w, lambdas, S),
                    vt.reml_gradient_blockwise(y, X, w, lambdas, S, roots, X.T @ (w[:, None] * X), X.T @ (w * y))):
            np.testing.assert_allclose(got, direct, rtol=1e-12, atol=1e-12)
        np.testing.assert_array_equal(vt.reml_gradient_multi_qr(y, X, w, lambdas, S, roots), direct)

    @pytest.mark.parametrize("f", [vt.reml_gradient_multi_qr, hessian])
    def test_unpenalized_zero_column_and_empty_penalty_change_nothing(self, f, rng):
        y, X, w, S = additive(300, [10, 10], seed=4, basis="cr")
        Xz = np.hstack([X, np.zeros((300, 1))])
        Sz = [np.pad(s, ((0, 1), (0, 1))) for s in S] + [np.zeros((21, 21))]
        got = f(y, Xz, w, [0.5, 2.0, 5.0], Sz)
        want = f(y, X, w, [0.5, 2.0], S)
        np.testing.assert_allclose(got[:2] if got.ndim == 1 else got[:2, :2], want, rtol=1e-5, atol=1e-8)
        assert np.all(np.atleast_1d(got[2]) == 0.0)

    def test_degenerate(self, rng):
        _, X, _, S = additive(50, [10, 10], basis="cr")
        empty = np.zeros((0, X.shape[1]))  # no data: the scale is undefined
        assert np.isnan(vt.reml_gradient_multi_qr(np.zeros(0), empty, np.zeros(0), [1.0, 1.0], S)).all()
        assert np.isnan(vt.reml_gradient_blockwise(np.zeros(0), empty, np.zeros(0), [1.0] * 22, S[:1] * 22)).all()
        y, X, w, S = additive(8, [10], basis="cr")
        assert np.isnan(hessian(y, X, w, [1.0], S)).all()
        l = rng.normal(size=(10, 3))  # fewer rows than columns: the ridge keeps it finite
        assert np.isfinite(vt.reml_gradient_multi_qr(rng.normal(size=5), rng.normal(size=(5, 10)), np.ones(5),
                                                     [1.0], [l @ l.T])).all()
        with pytest.raises(ValueError) as e:
            vt.reml_gradient_multi_qr(np.ones(10), rng.normal(size=(10, 4)), np.ones(10), [1.0], [np.eye(4)],
                                      [np.ones((3, 1))])
        assert str(e.value) == MISMATCH + "Penalty square root 0 has 3 rows but X has 4 columns"


class TestSquareRoots:
    def test_cr_penalty_has_two_null_directions(self):
        s = 1e6 * cr_penalty(np.linspace(0.0, 3.0, 10))
        l = vt.reml_penalty_sqrt(s)
        assert l.shape == (10, 8)
        np.testing.assert_allclose(l @ l.T, s, atol=1e-12 * np.abs(s).max())
        np.testing.assert_allclose(np.sum(l * l, axis=0), np.linalg.eigvalsh(s)[2:], rtol=1e-10)

    @pytest.mark.parametrize("s, kept", [
        (np.diag([0.5, 7e-11, 0.0]), [0.5]),         # absolute floor 1e-10
        (np.diag([1e6, 5e-5, 2e-4]), [2e-4, 1e6]),   # relative to the largest, 1e-10
        (np.array([[2.0, 1.0], [-50.0, 2.0]]), [1.0, 3.0]),  # only the upper triangle is read
    ])
    def test_threshold(self, s, kept):
        l = vt.reml_penalty_sqrt(s)
        np.testing.assert_allclose(np.sort(np.sum(l * l, axis=0)), kept, rtol=1e-12)

    @pytest.mark.parametrize("s, message", [(np.ones((2, 3)), "Penalty matrix must be square"),
                                            (np.diag([np.inf, 1.0]), "Penalty matrix has non-finite entries")])
    def test_rejected(self, s, message):
        with pytest.raises(ValueError) as e:
            vt.reml_penalty_sqrt(s)
        assert str(e.value) == "Invalid parameter: " + message


@pytest.mark.parametrize("n, p, ranks", [(2500, 12, [4, 7]), (1000, 12, []), (0, 6, [2, 3]), (5, 12, []),
                                         (1001, 8, [0, 5])])
def test_blockwise_triangle(rng, n, p, ranks):
    x = rng.normal(size=(2 * n, 2 * p))[::2, ::-2]  # strided both ways, one stride negative
    w = rng.uniform(0.1, 3.0, n)
    roots = [rng.normal(size=(p, r)) for r in ranks]
    lambdas = list(rng.uniform(0.5, 5.0, len(ranks)))
    r = vt.reml_compute_r_blockwise(x, w, lambdas, roots)
    assert r.shape == (p, p) and np.all(np.tril(r, -1) == 0.0)
    e = x.T @ (w[:, None] * x) + sum((lam * l @ l.T for lam, l in zip(lambdas, roots)), np.zeros((p, p)))
    np.testing.assert_allclose(r.T @ r, e, rtol=0, atol=1e-12 * np.abs(e).max())


def sums_problem(rng, offset, n=3000, p=12):
    # Two blocks whose rows each sum to one: a constant can move between them unseen.
    x = np.hstack([rng.dirichlet(np.ones(p // 2), size=n) for _ in range(2)])
    beta = rng.standard_normal(p)
    return offset + x @ beta + 0.1 * rng.standard_normal(n), x, rng.uniform(0.5, 2.0, n), beta


@pytest.mark.parametrize("offset, points, passes", [
    (None, "small", 0),   # a response near zero: the normal equations suffice
    (50.0, "near", 1),    # far from zero: one data pass, then its anchor serves
    (50.0, "moved", 2),   # the same residuals far away in coefficients: a new anchor
])
def test_residual_sums_read_the_data_only_when_needed(rng, offset, points, passes):
    y, x, w, beta = sums_problem(rng, offset or 0.0)
    if offset is None:
        y = 0.1 * rng.standard_normal(len(y))
    fit = np.linalg.lstsq(x * np.sqrt(w)[:, None], y * np.sqrt(w), rcond=None)[0]
    moved = fit + 100.0 * np.repeat([1.0, -1.0], x.shape[1] // 2)
    betas = {"small": [0.01 * beta, -0.02 * beta, beta], "near": [fit, fit * (1 + 1e-3), fit - 1e-3],
             "moved": [fit, moved, moved + 1e-3]}[points]
    results, got = vt.reml_residual_sums(y, x, w, np.array(betas))
    assert got == passes
    for (rss, xtwr), b in zip(results, betas):
        r = y - x @ b
        assert rss == pytest.approx(np.sum(w * r * r), rel=1e-9)
        np.testing.assert_allclose(xtwr, x.T @ (w * r), rtol=0, atol=1e-9 * np.abs(x.T @ (w * y)).max())


def test_anchored_scores_of_a_line_search(rng):
    # A response 1e4 from zero: the first score reads the data and anchors there; the
    # trials of a line search around it take the RSS from the anchor.
    y, x, w, _ = sums_problem(rng, 1e4)
    d = np.diff(np.eye(6), 2, axis=0)
    pens = [np.kron(np.diag(e), d.T @ d) for e in np.eye(2)]
    rho, step = np.log([3.0, 0.2]), np.array([2.0, -1.5])
    trials = np.exp([rho] + [rho + 0.5 ** h * step for h in range(8)])
    scores, passes = vt.reml_criterion_anchored(y, x, w, trials, pens)
    assert passes == 1
    for lams, score in zip(trials, scores):
        assert score == pytest.approx(vt.fit_reml_criterion(y, x, w, list(lams), pens), rel=1e-12)
