"""GCV: the score against an explicit influence matrix, and the search against a fine grid."""
import numpy as np
import pytest

import _velkan_testing as t
from tests.search.problems import additive

LOG_MIN, LOG_MAX = np.log(1e-7), np.log(1e5)
REFUSAL = "Not implemented: Multiple smooths not yet properly implemented for GCV"


def gcv_reference(y, x, w, s, lam):
    """n RSS_w / (n - tr H)^2 with the n x n influence matrix H = X A^-1 X'W."""
    a = (x * w[:, None]).T @ x + lam * s
    beta = np.linalg.solve(a, (x * w[:, None]).T @ y)
    infl = x @ np.linalg.inv(a) @ (x * w[:, None]).T
    n = len(y)
    return n * np.sum(w * (y - x @ beta) ** 2) / (n - np.trace(infl)) ** 2


def grid_best(y, x, w, s, step=0.01):
    grid = np.arange(LOG_MIN, LOG_MAX + step / 2, step)
    scores = [t.search_gcv_score(y, x, w, s, float(np.exp(r))) for r in grid]
    return grid[int(np.argmin(scores))]


@pytest.mark.parametrize("lam", [1e-6, 0.3, 50.0])
def test_score_matches_influence_matrix(lam):
    y, x, _, (s,) = additive(120, [9], seed=2)
    w = np.random.default_rng(1).uniform(0.2, 2.0, 120)
    assert t.search_gcv_score(y, x, w, s, lam) == pytest.approx(gcv_reference(y, x, w, s, lam),
                                                                 rel=1e-10)


@pytest.mark.parametrize("seed, k, noise", [(1, 10, 0.3), (2, 10, 0.1), (3, 14, 1.0), (4, 8, 0.5)])
def test_search_finds_grid_minimum_at_every_scale(seed, k, noise):
    y, x, w, pens = additive(300, [k], seed=seed, noise=noise)
    best = grid_best(y, x, w, pens[0])
    lambdas = []
    for scale in [0.1, 1.0, 10.0, 1000.0]:
        lam, evaluations, err = t.search_optimize_gcv(scale * y, x, w, pens)
        assert err is None and evaluations == 20
        assert abs(np.log(lam[0]) - best) < 0.05
        lambdas.append(lam[0])
    np.testing.assert_allclose(lambdas, lambdas[0], rtol=1e-9)


@pytest.mark.parametrize("case", ["zero penalty", "zero response"])
def test_flat_score_gives_finite_lambda_within_bounds(case):
    y, x, w, (s,) = additive(100, [10])
    if case == "zero penalty":
        s = np.zeros_like(s)
    else:
        y = np.zeros_like(y)
    lam, evaluations, err = t.search_optimize_gcv(y, x, w, [s])
    assert err is None and evaluations <= 20
    assert np.isfinite(lam[0]) and 1e-7 <= lam[0] <= 1e5


def test_two_smooths_refused_before_any_evaluation():
    y, x, w, pens = additive(100, [10, 10])
    lam, evaluations, err = t.search_optimize_gcv(y, x, w, pens)
    assert (err, evaluations, lam.tolist()) == (REFUSAL, 0, [1.0, 1.0])
    # Through optimize: the refusal comes after the reset, and nothing else is touched.
    lam, err = t.search_optimize(y, x, w, pens, np.array([3.0, 4.0]), method="GCV")
    assert (err, lam.tolist()) == (REFUSAL, [1.0, 1.0])


def test_no_penalty_gives_empty_lambda():
    y, x, w, _ = additive(100, [10])
    lam, err = t.search_optimize(y, x, w, [], np.ones(0), method="GCV")
    assert err is None and lam.size == 0


def test_score_error_ends_the_search():
    # An unpenalized zero column makes X'WX + lambda S singular at every lambda.
    y, x, w, (s,) = additive(100, [10])
    x = np.hstack([x, np.zeros((100, 1))])
    s = np.pad(s, ((0, 1), (0, 1)))
    lam, evaluations, err = t.search_optimize_gcv(y, x, w, [s])
    assert (err, evaluations, lam.tolist()) == ("Singular matrix encountered", 1, [1.0])


def test_search_prints_nothing(monkeypatch, capsys):
    for name in ["VELKAN_PROFILE", "VELKAN_GRAD_DEBUG", "VELKAN_TRACE_DEBUG"]:
        monkeypatch.setenv(name, "")
    y, x, w, pens = additive(100, [10])
    t.search_optimize(y, x, w, pens, np.ones(1), method="GCV")
    assert capsys.readouterr().out == ""
