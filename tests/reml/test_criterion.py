import numpy as np
import pytest

import _velkan_testing as t

TWO_PI = 6.283185307179586


def oracle(y, X, w, lambdas, penalties, ranks):
    """The score in NumPy with slogdet; `ranks` are the expected r_j of the used pairs
    (None where lambda_j does not exceed 1e-10)."""
    used = min(len(lambdas), len(penalties))
    a = X.T @ (w[:, None] * X)
    for lam, s in zip(lambdas[:used], penalties[:used]):
        a = a + lam * s
    a = a + 1e-5 * (1 + np.sqrt(len(lambdas))) * max(1.0, np.abs(np.diag(a)).max()) * np.eye(
        len(a))
    beta = np.linalg.solve(a, X.T @ (w * y))
    rss = np.sum(w * (y - X @ beta) ** 2)
    pen = sum(lam * beta @ s @ beta for lam, s in zip(lambdas[:used], penalties[:used]))
    sign, logdet = np.linalg.slogdet(a)
    assert sign > 0
    r = sum(rj for rj in ranks if rj is not None)
    lsum = sum(rj * np.log(lam) for rj, lam in zip(ranks, lambdas) if rj is not None)
    phi = rss / (len(y) - r)
    return 0.5 * (logdet + (rss + pen) / phi + (len(y) - r) * np.log(TWO_PI * phi) - lsum)


def problem(rng, n=200, p=30):
    X = rng.normal(size=(n, p))
    y = X @ rng.normal(size=p) + rng.normal(size=n)
    w = rng.uniform(0.2, 2.0, n)
    return y, X, w


def embedded(p, rows, value=None, rng=None):
    """A p x p penalty whose non-zero rows are `rows` (a second-difference block)."""
    s = np.zeros((p, p))
    k = len(rows)
    if k >= 3:
        d = np.diff(np.eye(k), 2, axis=0)
        s[np.ix_(rows, rows)] = d.T @ d
    elif k:
        s[np.ix_(rows, rows)] = value if value is not None else np.eye(k)
    return s


# (penalty rows, lambda, expected rank or None): the rank rule and the lambda threshold.
RANK_CASES = [
    (list(range(10)), 2.0, 8),             # 10 non-zero rows of 30
    (list(range(5, 15)), 0.7, 8),
    ([3, 4], 2.0, 0),                      # two non-zero rows add nothing
    ([7], 2.0, 1),                         # a single row counts as rank 1
    ([], 2.0, 1),                          # an all-zero penalty too
    (list(range(10)), 1e-10, None),        # lambda must exceed 1e-10
    (list(range(10)), np.nextafter(1e-10, 1), 8),
]


@pytest.mark.parametrize("rows,lam,rank", RANK_CASES)
def test_rank_rule(rows, lam, rank, rng):
    y, X, w = problem(rng)
    s = embedded(30, rows)
    got = t.fit_reml_criterion(y, X, w, [lam], [s])
    assert got == pytest.approx(oracle(y, X, w, [lam], [s], [rank]), rel=1e-10)


def test_two_penalties_against_oracle(rng):
    y, X, w = problem(rng)
    pens = [embedded(30, list(range(12))), embedded(30, list(range(12, 30)))]
    lams = [0.3, 25.0]
    got = t.fit_reml_criterion(y, X, w, lams, pens)
    assert got == pytest.approx(oracle(y, X, w, lams, pens, [10, 16]), rel=1e-10)


def test_extra_lambdas_enter_only_the_ridge(rng):
    y, X, w = problem(rng, n=60, p=5)
    # A small, weakly weighted system so that the ridge is visible in the score.
    w = w * 1e-4
    s = embedded(5, [0, 1, 2, 3, 4])
    one = t.fit_reml_criterion(y, X, w, [0.5], [s])
    three = t.fit_reml_criterion(y, X, w, [0.5, 7.0, 9.0], [s])
    assert three == pytest.approx(oracle(y, X, w, [0.5, 7.0, 9.0], [s], [3]), rel=1e-10)
    assert one == pytest.approx(oracle(y, X, w, [0.5], [s], [3]), rel=1e-10)
    assert one != three
    # Extra penalties are ignored altogether, whatever their shape.
    assert t.fit_reml_criterion(y, X, w, [0.5], [s, np.ones((2, 7))]) == one


@pytest.mark.parametrize("p", [999, 1000])
def test_elimination_and_lapack_paths(p, rng):
    n = p + 50
    X = rng.normal(size=(n, p))
    y = rng.normal(size=n)
    w = np.ones(n)
    s = np.eye(p)
    got = t.fit_reml_criterion(y, X, w, [2.0], [s])
    assert np.isfinite(got)
    assert got == pytest.approx(oracle(y, X, w, [2.0], [s], [p - 2]), rel=1e-9)


class TestDeterminantRange:
    def test_overflowing_determinant_gives_finite_score(self, rng):
        y, X, w = problem(rng, n=200, p=60)
        X = X * 1e4
        a = X.T @ (w[:, None] * X)
        assert np.isinf(t.linalg_determinant(a))  # ln(det) would be +inf
        s = embedded(60, list(range(60)))
        got = t.fit_reml_criterion(y, X, w, [1.0], [s])
        assert np.isfinite(got)
        assert got == pytest.approx(oracle(y, X, w, [1.0], [s], [58]), rel=1e-10)

    def test_underflowing_determinant_gives_finite_score(self, rng):
        y, X, w = problem(rng, n=300, p=100)
        w = np.full(300, 1e-9)
        s = embedded(100, list(range(100)))
        a = X.T @ (w[:, None] * X) + 1e-9 * s
        assert t.linalg_determinant(a + 2e-5 * np.eye(100)) == 0.0  # ln(det) would be -inf
        got = t.fit_reml_criterion(y, X, w, [1e-9], [s])
        assert np.isfinite(got)
        assert got == pytest.approx(oracle(y, X, w, [1e-9], [s], [98]), rel=1e-10)

    def test_singular_system(self):
        # The ridge keeps A + delta I regular for non-negative weights and lambdas; a
        # negative lambda can cancel it exactly. The solve then refuses the system before
        # any score is formed (its pivot floor lies above the determinant's), while the
        # log-determinant of the same matrix is -inf.
        X = np.ones((4, 1))
        w = np.ones(4)
        # A = X'X + lam = 4 + lam = -2e-5 and delta = 2e-5 cancel up to rounding.
        lam = -(4 + 2e-5)
        a = 4 + lam
        assert abs(a + 2e-5 * max(1.0, abs(a))) < 1e-15
        assert t.linalg_log_determinant(np.zeros((3, 3))) == -np.inf
        with pytest.raises(ValueError, match="Singular matrix encountered"):
            t.fit_reml_criterion(np.arange(4.0), X, w, [lam], [np.ones((1, 1))])


class TestCached:
    @pytest.mark.parametrize("lams", [[0.1], [3.0, 40.0], [1e-11, 2.0]])
    def test_cached_agrees_with_from_data(self, lams, rng):
        y, X, w = problem(rng, n=500, p=20)
        pens = [embedded(20, list(range(10))), embedded(20, list(range(10, 20)))][:len(lams)]
        xtwx, xtwy, ywy = t.fit_make_reml_cache(y, X, w)
        np.testing.assert_allclose(xtwx, X.T @ (w[:, None] * X), rtol=1e-12)
        np.testing.assert_allclose(xtwy, X.T @ (w * y), rtol=1e-12)
        assert ywy == pytest.approx(np.sum(w * y * y), rel=1e-13)
        direct = t.fit_reml_criterion(y, X, w, lams, pens)
        cached = t.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, ywy, lams, pens)
        assert cached == pytest.approx(direct, rel=1e-12)
        # Without y'Wy the cached path sums over the data exactly as the direct one does.
        assert t.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, np.nan, lams, pens) == direct

    def test_well_conditioned_rss_comes_from_the_cache(self, rng):
        # Here the O(p^2) normal-equation RSS is accurate, so it is used: a y'Wy that
        # disagrees with the data moves the score, which a data pass would not.
        y, X, w = problem(rng, n=500, p=20)
        pens = [embedded(20, list(range(20)))]
        xtwx, xtwy, ywy = t.fit_make_reml_cache(y, X, w)
        good = t.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, ywy, [1.0], pens)
        off = t.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, ywy * 1.01, [1.0], pens)
        assert off != pytest.approx(good, rel=1e-6)

    def test_rss_stays_accurate_under_cancellation(self, rng):
        # y in the column space of orthogonal, equally scaled columns: the residual is only
        # the ridge's shrinkage, RSS ~ 4e-10 y'Wy, and y'Wy - 2 beta'X'Wy + beta'X'WX beta
        # would lose about six digits of it (score off by ~5e-7 relative).
        n, p = 40, 30
        q, _ = np.linalg.qr(rng.normal(size=(n, p)))
        X = 10 * q
        y = 1e3 * (X @ rng.normal(size=p))
        w = np.ones(n)
        s = embedded(p, [0, 1, 2])
        xtwx, xtwy, ywy = t.fit_make_reml_cache(y, X, w)
        got = t.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, ywy, [1e-12], [s])
        assert got == pytest.approx(oracle(y, X, w, [1e-12], [s], [None]), rel=1e-10)


class TestDegenerate:
    def test_rank_reaching_n_gives_nan(self, rng):
        y, X, w = problem(rng, n=8, p=12)
        s = embedded(12, list(range(12)))  # rank 10 >= n = 8
        assert np.isnan(t.fit_reml_criterion(y, X, w, [1.0], [s]))

    @pytest.mark.parametrize("where", ["X", "y", "penalty", "lambda"])
    def test_nan_inputs_do_not_crash(self, where, rng):
        y, X, w = problem(rng, n=50, p=6)
        s = embedded(6, list(range(6)))
        lam = [1.0]
        if where == "X":
            X[3, 2] = np.nan
        elif where == "y":
            y[0] = np.nan
        elif where == "penalty":
            s[1, 1] = np.nan
        else:
            lam = [np.nan]
        try:
            got = t.fit_reml_criterion(y, X, w, lam, [s])
        except ValueError as e:
            assert "Singular matrix" in str(e)
        else:
            assert np.isnan(got)

    @pytest.mark.parametrize("n_x,n_y,n_w,shape,message", [
        (10, 9, 10, (3, 3), "X has 10 rows but y has 9 elements and w has 10 elements"),
        (10, 10, 8, (3, 3), "X has 10 rows but y has 10 elements and w has 8 elements"),
        (10, 10, 10, (3, 2), "Penalty matrix 0 is 3x2 but X has 3 columns"),
    ])
    def test_shape_errors(self, n_x, n_y, n_w, shape, message):
        with pytest.raises(ValueError) as e:
            t.fit_reml_criterion(np.ones(n_y), np.ones((n_x, 3)), np.ones(n_w), [1.0],
                                 [np.zeros(shape)])
        assert str(e.value) == "Matrix dimension mismatch: " + message
