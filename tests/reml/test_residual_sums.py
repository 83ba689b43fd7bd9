"""RSS and X'W r for the REML derivatives: from the cross products relative to an anchor
when the cancellation is small, from the data (which re-anchors) when it is not."""
import numpy as np
import pytest

import _velkan_testing as T


def problem(rng, offset, n=3000, p=12):
    # Two blocks whose rows each sum to one, as two spline smooths: a constant offset is in
    # the model's span, and moving a constant from one block to the other changes nothing.
    x = np.hstack([rng.dirichlet(np.ones(p // 2), size=n) for _ in range(2)])
    beta = rng.standard_normal(p)
    y = offset + x @ beta + 0.1 * rng.standard_normal(n)
    w = rng.uniform(0.5, 2.0, n)
    return y, x, w, beta


def truth(y, x, w, beta):
    r = y - x @ beta
    return np.sum(w * r * r), x.T @ (w * r)


def check(results, y, x, w, betas, rtol):
    for (rss, xtwr), beta in zip(results, betas):
        want_rss, want_xtwr = truth(y, x, w, beta)
        assert rss == pytest.approx(want_rss, rel=rtol)
        np.testing.assert_allclose(xtwr, want_xtwr, rtol=0, atol=rtol * np.abs(x.T @ (w * y)).max())


def test_small_cancellation_needs_no_data_pass(rng):
    # A response near zero: y'Wy is not much larger than the residual sums.
    y, x, w, beta = problem(rng, 0.0)
    y = 0.1 * rng.standard_normal(len(y))
    betas = [0.01 * beta, -0.02 * beta]
    results, passes = T.reml_residual_sums(y, x, w, np.array(betas), True)
    assert passes == 0
    check(results, y, x, w, betas, 1e-10)


def test_anchor_moves_to_the_last_data_pass(rng):
    # A large offset: from beta = 0 the normal equations would cancel most digits, so the
    # first evaluation reads the data; points near it then use it as their anchor. A point
    # with the same residuals but coefficients far away (a constant moved between the
    # blocks) reads the data again, and becomes the anchor of the points near it.
    y, x, w, beta = problem(rng, 50.0)
    fit = np.linalg.lstsq(x * np.sqrt(w)[:, None], y * np.sqrt(w), rcond=None)[0]
    near = [fit, fit * (1 + 1e-3), fit - 1e-3]
    results, passes = T.reml_residual_sums(y, x, w, np.array(near), True)
    assert passes == 1
    check(results, y, x, w, near, 1e-9)
    moved = fit + 100.0 * np.repeat([1.0, -1.0], x.shape[1] // 2)
    far = [fit, moved, moved + 1e-3]
    results, passes = T.reml_residual_sums(y, x, w, np.array(far), True)
    assert passes == 2
    check(results, y, x, w, far, 1e-9)


def test_without_cache_every_evaluation_reads_the_data(rng):
    y, x, w, beta = problem(rng, 0.0, n=500)
    betas = [beta, beta, 2 * beta]
    results, passes = T.reml_residual_sums(y, x, w, np.array(betas), False)
    assert passes == 3
    check(results, y, x, w, betas, 1e-12)


def block_penalties(p):
    # A second-difference penalty on each of the two blocks of `problem`.
    d = np.diff(np.eye(p // 2), 2, axis=0)
    pens = []
    for b in range(2):
        s = np.zeros((p, p))
        s[b * (p // 2):(b + 1) * (p // 2), b * (p // 2):(b + 1) * (p // 2)] = d.T @ d
        pens.append(s)
    return pens


def test_anchored_score_reads_the_data_once_for_a_far_response(rng):
    # A response 1e4 from zero: from beta = 0 the normal equations cancel nearly every
    # digit, so the first score reads the data and anchors there. The trials of a line
    # search around it (halved steps in log lambda) then take the RSS from the anchor,
    # and every score still agrees with the one summed over the data.
    y, x, w, _ = problem(rng, 1e4)
    pens = block_penalties(x.shape[1])
    rho, step = np.log([3.0, 0.2]), np.array([2.0, -1.5])
    trials = np.exp([rho] + [rho + 0.5 ** h * step for h in range(8)])
    scores, passes = T.reml_criterion_anchored(y, x, w, trials, pens)
    assert passes == 1
    for lams, score in zip(trials, scores):
        assert score == pytest.approx(T.fit_reml_criterion(y, x, w, list(lams), pens), rel=1e-12)


def test_anchored_score_matches_the_cached_score_near_zero(rng):
    # A response near zero needs no data pass at all, and the anchored RSS is the
    # normal-equation RSS of the cached score.
    _, x, w, _ = problem(rng, 0.0)
    y = 0.1 * rng.standard_normal(len(w))
    pens = block_penalties(x.shape[1])
    trials = np.array([[1.0, 1.0], [10.0, 0.1], [1e-3, 1e3]])
    scores, passes = T.reml_criterion_anchored(y, x, w, trials, pens)
    assert passes == 0
    cache = T.fit_make_reml_cache(y, x, w)
    for lams, score in zip(trials, scores):
        want = T.fit_reml_criterion_cached(y, x, w, *cache, list(lams), pens)
        assert score == pytest.approx(want, rel=1e-12)
        assert score == pytest.approx(T.fit_reml_criterion(y, x, w, list(lams), pens), rel=1e-10)
