import numpy as np
import pytest

import _velkan_testing as t
from tests.helpers import ridge, ridged_solve


def oracle(y, X, w, lambdas, penalties, ranks):
    """The score in NumPy with slogdet; `ranks` are the expected r_j of the used pairs
    (None where lambda_j does not exceed 1e-10)."""
    used = min(len(lambdas), len(penalties))
    xtwx = X.T @ (w[:, None] * X)
    a = xtwx + sum(l * s for l, s in zip(lambdas[:used], penalties[:used]))
    beta = ridged_solve(a, xtwx, len(lambdas), X.T @ (w * y))
    a = a + ridge(xtwx, len(lambdas)) * np.eye(len(a))
    rss = np.sum(w * (y - X @ beta) ** 2)
    pen = sum(l * beta @ s @ beta for l, s in zip(lambdas[:used], penalties[:used]))
    sign, logdet = np.linalg.slogdet(a)
    assert sign > 0
    r = sum(rj for rj in ranks if rj is not None)
    lsum = sum(rj * np.log(l) for rj, l in zip(ranks, lambdas) if rj is not None)
    phi = rss / (len(y) - r)
    return 0.5 * (logdet + (rss + pen) / phi + (len(y) - r) * np.log(6.283185307179586 * phi)
                  - lsum)


def problem(rng, n=200, p=30):
    X = rng.normal(size=(n, p))
    return X @ rng.normal(size=p) + rng.normal(size=n), X, rng.uniform(0.2, 2.0, n)


def embedded(p, rows):
    """A p x p penalty whose non-zero rows are `rows`: a second-difference block from three
    rows on, an identity block below."""
    s, k = np.zeros((p, p)), len(rows)
    d = np.diff(np.eye(k), 2, axis=0) if k >= 3 else np.eye(k)
    s[np.ix_(rows, rows)] = d.T @ d
    return s


# (rows of each penalty, lambdas, expected ranks): the rank rule and the lambda threshold.
RANK_CASES = [
    ([range(10)], [2.0], [8]),               # 10 non-zero rows of 30
    ([[3, 4]], [2.0], [0]),                  # two non-zero rows add nothing
    ([[7]], [2.0], [1]),                     # a single row counts as rank 1
    ([[]], [2.0], [1]),                      # an all-zero penalty too
    ([range(10)], [1e-10], [None]),          # lambda must exceed 1e-10
    ([range(10)], [np.nextafter(1e-10, 1)], [8]),
    ([range(12), range(12, 30)], [0.3, 25.0], [10, 16]),
]


@pytest.mark.parametrize("rows,lams,ranks", RANK_CASES)
def test_against_oracle(rows, lams, ranks, rng):
    y, X, w = problem(rng)
    pens = [embedded(30, list(r)) for r in rows]
    got = t.fit_reml_criterion(y, X, w, lams, pens)
    assert got == pytest.approx(oracle(y, X, w, lams, pens, ranks), rel=1e-10)


def test_extra_lambdas_enter_only_the_ridge(rng):
    y, X, w = problem(rng, n=60, p=5)
    w = w * 1e-4  # a weakly weighted system, so that the ridge shows in the score
    s = embedded(5, list(range(5)))
    one = t.fit_reml_criterion(y, X, w, [0.5], [s])
    three = t.fit_reml_criterion(y, X, w, [0.5, 7.0, 9.0], [s])
    assert three == pytest.approx(oracle(y, X, w, [0.5, 7.0, 9.0], [s], [3]), rel=1e-10)
    assert one == pytest.approx(oracle(y, X, w, [0.5], [s], [3]), rel=1e-10) and one != three
    # Extra penalties are ignored altogether, whatever their shape.
    assert t.fit_reml_criterion(y, X, w, [0.5], [s, np.ones((2, 7))]) == one


@pytest.mark.parametrize("p", [999, 1000])  # in-process elimination, then LAPACK
def test_both_determinant_paths(p, rng):
    X = rng.normal(size=(p + 50, p))
    y, w = rng.normal(size=p + 50), np.ones(p + 50)
    got = t.fit_reml_criterion(y, X, w, [2.0], [np.eye(p)])
    assert got == pytest.approx(oracle(y, X, w, [2.0], [np.eye(p)], [p - 2]), rel=1e-9)


@pytest.mark.parametrize("case", ["overflow", "underflow"])
def test_determinant_out_of_double_range_gives_finite_score(case, rng):
    if case == "overflow":  # p = 60 with a large X'WX: det ~ 1e600
        y, X, w = problem(rng, n=200, p=60)
        X, lam = X * 1e4, 1.0
    else:  # tiny working weights: the ridge dominates, det ~ (2e-5)^100
        y, X, w = problem(rng, n=300, p=100)
        w, lam = np.full(300, 1e-9), 1e-9
    p = X.shape[1]
    s = embedded(p, list(range(p)))
    xtwx = X.T @ (w[:, None] * X)
    a = xtwx + lam * s + ridge(xtwx, 1) * np.eye(p)
    det = t.linalg_determinant(a)
    assert np.isinf(det) if case == "overflow" else det == 0.0
    got = t.fit_reml_criterion(y, X, w, [lam], [s])
    assert got == pytest.approx(oracle(y, X, w, [lam], [s], [p - 2]), rel=1e-10)


def test_singular_system():
    # Non-negative weights and lambdas keep A + delta I regular; a negative lambda can
    # cancel the ridge: X'WX = 4, delta = 2e-5 * 4, 4 + lam = -delta up to rounding. The
    # solve refuses the system before a score exists (its pivot floor lies above the
    # determinant's); the log-determinant of a singular matrix is -inf.
    assert t.linalg_log_determinant(np.zeros((3, 3))) == -np.inf
    with pytest.raises(ValueError, match="^Singular matrix encountered$"):
        t.fit_reml_criterion(np.arange(4.0), np.ones((4, 1)), np.ones(4), [-(4 + 8e-5)],
                             [np.ones((1, 1))])


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
        # Here the O(p^2) normal-equation RSS is accurate enough to be used: a y'Wy that
        # disagrees with the data moves the score, which a pass over the data would not.
        off = t.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, 1.01 * ywy, lams, pens)
        assert off != pytest.approx(direct, rel=1e-6)
        # Without y'Wy the cached path sums over the data exactly as the direct one does.
        assert t.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, np.nan, lams, pens) == direct

    def test_rss_stays_accurate_under_cancellation(self, rng):
        # y nearly in the column space of orthogonal, equally scaled columns: RSS ~ 4e-10
        # y'Wy, and y'Wy - 2 beta'X'Wy + beta'X'WX beta would lose about six digits of it
        # (score off by ~5e-7 relative).
        q, _ = np.linalg.qr(rng.normal(size=(40, 30)))
        X, w = 10 * q, np.ones(40)
        off = rng.normal(size=40)
        off -= q @ (q.T @ off)
        y = 1e3 * (X @ rng.normal(size=30)) + 1.1 * off / np.linalg.norm(off)
        s = embedded(30, [0, 1, 2])
        xtwx, xtwy, ywy = t.fit_make_reml_cache(y, X, w)
        got = t.fit_reml_criterion_cached(y, X, w, xtwx, xtwy, ywy, [1e-12], [s])
        assert got == pytest.approx(oracle(y, X, w, [1e-12], [s], [None]), rel=1e-10)


class TestDegenerate:
    @pytest.mark.parametrize("n", [0, 8])
    def test_no_residual_degrees_of_freedom_gives_nan(self, n, rng):
        y, X, w = problem(rng, n=n, p=12)
        assert np.isnan(t.fit_reml_criterion(y, X, w, [1.0], [embedded(12, list(range(12)))]))

    @pytest.mark.parametrize("where", ["X", "y", "penalty", "lambda"])
    def test_nan_inputs_do_not_crash(self, where, rng):
        y, X, w = problem(rng, n=50, p=6)
        s, lam = embedded(6, list(range(6))), [1.0]
        {"X": lambda: X.__setitem__((3, 2), np.nan), "y": lambda: y.__setitem__(0, np.nan),
         "penalty": lambda: s.__setitem__((1, 1), np.nan),
         "lambda": lambda: lam.__setitem__(0, np.nan)}[where]()
        try:
            assert np.isnan(t.fit_reml_criterion(y, X, w, lam, [s]))
        except ValueError as e:
            assert str(e) == "Singular matrix encountered"

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
