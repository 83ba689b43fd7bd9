"""velkan.GAM end to end: the model, its invariances, bad input, extreme scales."""

import re
import warnings

import numpy as np
import pytest

from velkan import GAM, ConvergenceWarning, ExtrapolationWarning, f, l, s, te
from velkan import _engine as E


def additive(rng, n, family="gaussian"):
    X = rng.uniform(size=(n, 3))
    eta = np.sin(2 * np.pi * X[:, 0]) + (X[:, 1] - 0.5) ** 2 * 3 - 0.3
    if family == "gaussian":
        y = eta + 0.3 * rng.normal(size=n)
    elif family == "poisson":
        y = rng.poisson(np.exp(eta)).astype(float)
    elif family == "binomial":
        y = rng.binomial(1, 1 / (1 + np.exp(-eta))).astype(float)
    else:
        y = rng.gamma(5.0, np.exp(eta) / 5.0)
    return X, y, eta


FAMILIES = ["gaussian", "binomial", "poisson", "gamma"]


@pytest.mark.parametrize("family", FAMILIES)
def test_recovers_the_truth_and_centres_every_smooth(rng, family):
    X, y, eta = additive(rng, 3000, family)
    gam = GAM(s(0) + s(1, bs="cr") + s(2), family=family).fit(X, y)
    assert gam.converged_
    err = np.sqrt(np.mean((gam.predict(X, type="link") - eta) ** 2))
    assert err < {"gaussian": 0.06, "binomial": 0.25, "poisson": 0.1, "gamma": 0.1}[family]
    fit = gam._fitted
    lay = fit.engine_layout()
    D = lay.design(list(X.T))
    for t in range(1, 4):
        o, q = lay.offset(t), lay.term_width(t)
        contribution = D[:, o:o + q] @ fit.beta_raw[o:o + q]
        assert abs(contribution.sum()) < 1e-8 * np.abs(contribution).sum()
    assert gam.edf_ < 1 + 3 * 9  # each centred smooth has at most k - 1 degrees of freedom


def test_integer_weights_equal_repeated_rows(rng):
    X, y, _ = additive(rng, 300, "poisson")
    reps = rng.integers(1, 4, size=300)
    terms = s(0, lam=2.0) + s(1, lam=0.5) + l(2)
    a = GAM(terms, family="poisson").fit(X, y, sample_weight=reps)
    b = GAM(terms, family="poisson").fit(np.repeat(X, reps, axis=0), np.repeat(y, reps))
    np.testing.assert_allclose(a.coef_, b.coef_, rtol=1e-7, atol=1e-9)
    # binomial: a proportion with m trials is m Bernoulli rows
    m = rng.integers(1, 5, size=300)
    k = rng.binomial(m, 0.3 + 0.4 * X[:, 0])
    rows = np.repeat(np.arange(300), m)
    ones = np.concatenate([np.arange(mi) < ki for mi, ki in zip(m, k)]).astype(float)
    a = GAM(terms, family="binomial").fit(X, k / m, sample_weight=m)
    b = GAM(terms, family="binomial").fit(X[rows], ones)
    np.testing.assert_allclose(a.coef_, b.coef_, rtol=1e-7, atol=1e-9)


@pytest.mark.parametrize("family", FAMILIES)
def test_constant_offset_shifts_only_the_intercept(rng, family):
    X, y, _ = additive(rng, 800, family)
    base = GAM(s(0) + l(1), family=family).fit(X, y)
    c = np.full(800, 0.7)
    shifted = GAM(s(0) + l(1), family=family).fit(X, y, offset=c)
    np.testing.assert_allclose(shifted.coef_[1:], base.coef_[1:], rtol=1e-6, atol=1e-8)
    assert shifted.coef_[0] == pytest.approx(base.coef_[0] - 0.7, abs=1e-7)
    np.testing.assert_allclose(shifted.predict(X, offset=c), base.predict(X), rtol=1e-7)


def test_tensor_product_surface_and_cyclic_term(rng):
    n = 4000
    X = rng.uniform(size=(n, 3))
    truth = np.sin(3 * X[:, 0]) * np.cos(3 * X[:, 1]) + np.sin(2 * np.pi * X[:, 2])
    y = truth + 0.2 * rng.normal(size=n)
    gam = GAM(te(0, 1, k=(6, 6)) + s(2, bs="cc", period=(0.0, 1.0))).fit(X, y)
    assert len(gam.lambda_) == 3
    assert np.sqrt(np.mean((gam.predict(X) - truth) ** 2)) < 0.05
    ends = np.array([[0.5, 0.5, 0.0], [0.5, 0.5, 1.0]])
    p = gam.predict(ends)
    assert p[0] == pytest.approx(p[1], abs=1e-10)


def test_factor_levels_and_unseen_level(rng):
    n = 600
    g = rng.choice(np.array([10.0, 20.0, 30.0]), size=n)
    x = rng.uniform(size=n)
    y = np.sin(4 * x) + (g == 20) * 1.0 - (g == 30) * 2.0 + 0.1 * rng.normal(size=n)
    X = np.column_stack([x, g])
    gam = GAM(s(0) + f(1)).fit(X, y)
    fx = gam._fitted
    np.testing.assert_allclose(fx.beta[-2:], [1.0, -2.0], atol=0.05)  # level 10 is the reference
    with pytest.raises(ValueError, match=r"column 1 has level 40\.0"):
        gam.predict(np.array([[0.5, 40.0]]))


def bad_inputs(rng):
    X, y, _ = additive(rng, 200)
    Xn = X.copy()
    Xn[5, 1] = np.nan
    Xc = X.copy()
    Xc[:, 2] = 0.5
    return [
        (dict(), dict(X=Xn), ValueError, r"X contains NaN.*column 1, row 5"),
        (dict(), dict(y=y[:-1]), ValueError, r"y must have one value per row"),
        (dict(), dict(sample_weight=-np.ones(200)), ValueError, r"sample_weight must be non-negative"),
        (dict(family="binomial"), dict(y=y + 5), ValueError, r"outside the support of the binomial family"),
        (dict(family="poisson"), dict(y=-np.abs(y)), ValueError, r"poisson family"),
        (dict(family="gamma"), dict(y=-np.abs(y)), ValueError, r"gamma family"),
        (dict(family="weibull"), dict(), ValueError, r"family must be one of"),
        (dict(terms=s(2)), dict(X=Xc), ValueError, r"column 2 is constant"),
        (dict(terms=s(7)), dict(), ValueError, r"column 7 does not exist"),
        (dict(method="UBRE"), dict(), ValueError, r"needs a known scale"),
        (dict(), dict(X=np.ma.masked_array(X)), TypeError, r"masked array"),
    ]


def test_bad_input_is_refused_and_the_previous_fit_survives(rng):
    X, y, _ = additive(rng, 200)
    for params, args, exc, msg in bad_inputs(rng):
        gam = GAM(s(0) + s(1)).fit(X, y)
        before = gam.predict(X)
        for k, v in params.items():
            setattr(gam, k, v)
        call = dict(X=X, y=y)
        call.update(args)
        with pytest.raises(exc, match=msg):
            gam.fit(call.pop("X"), call.pop("y"), **call)
        np.testing.assert_array_equal(gam._fitted.beta_raw, GAM(s(0) + s(1)).fit(X, y)._fitted.beta_raw)
        np.testing.assert_array_equal(gam.predict(X), before)
    with pytest.raises(ValueError, match="k must be at least 4"):
        s(0, k=3, bs="ps")
    with pytest.raises(ValueError, match="unknown basis"):
        s(0, bs="xx")


@pytest.mark.parametrize("shift,scale", [(1e6, 1.0), (0.0, 1e-100), (-3e7, 1e3)])
def test_gaussian_fit_is_equivariant_to_shift_and_scale(rng, shift, scale):
    X, y, _ = additive(rng, 1000)
    terms = s(0, k=10, bs="ps") + s(1, k=10, bs="ps") + l(2)
    base = GAM(terms).fit(X, y)
    moved = GAM(terms).fit(X, shift + scale * y)
    r0 = y - base.predict(X)
    r1 = (shift + scale * y - moved.predict(X)) / scale
    np.testing.assert_allclose(r1, r0, atol=1e-8 * np.abs(y).max() * (1 + abs(shift) / scale * 1e-8))
    np.testing.assert_allclose(moved.lambda_, base.lambda_, rtol=1e-4)


@pytest.mark.parametrize("family,level", [("poisson", 1e9), ("gamma", 1e-4), ("gamma", 1e12)])
def test_extreme_means_are_fitted_without_clamps(rng, family, level):
    X, _, eta = additive(rng, 1000)
    mu = level * np.exp(0.3 * eta)
    y = rng.poisson(mu).astype(float) if family == "poisson" else rng.gamma(20.0, mu / 20.0)
    gam = GAM(s(0) + s(1), family=family).fit(X, y)
    assert np.median(np.abs(gam.predict(X) / mu - 1)) < 0.05


@pytest.mark.parametrize("seed", [5, 6])
def test_an_overshooting_irls_step_is_halved(seed):
    # Very skewed gamma responses (shape 0.2) around a wiggly log mean: full penalized IRLS
    # steps overshoot to means the deviance cannot represent; halved back toward the
    # previous coefficients the fit converges.
    rng = np.random.default_rng(seed)
    X = rng.uniform(size=(200, 2))
    y = rng.gamma(0.2, np.exp(4 * np.sin(6 * X[:, 0]) + 2 * X[:, 1]) / 0.2)
    gam = GAM(s(0, k=20) + s(1), family="gamma").fit(X, y)
    assert gam.converged_ and np.isfinite(gam.deviance_) and gam.deviance_ < 2000


@pytest.mark.parametrize("family", ["gaussian", "binomial", "poisson"])
def test_all_zero_response_fits(rng, family):
    X, _, _ = additive(rng, 300)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        gam = GAM(s(0) + s(1), family=family).fit(X, np.zeros(300))
    assert np.all(gam.predict(X) < 1e-6)


def test_more_coefficients_than_rows(rng):
    # 31 rows, two smooths of k = 20: a valid penalized problem.
    X = rng.uniform(8, 21, size=(31, 2))
    y = np.exp(0.1 * X[:, 0] + 0.05 * X[:, 1]) * rng.gamma(30.0, 1 / 30.0, size=31)
    gam = GAM(s(0, k=20) + s(1, k=20), family="gamma").fit(X, y)
    assert gam.converged_ and np.all(np.isfinite(gam.predict(X)))
    assert gam.edf_ < 31


def test_threads_give_the_same_fit(rng):
    X, y, _ = additive(rng, 20000, "poisson")
    a = GAM(s(0) + s(1) + s(2), family="poisson", n_jobs=1).fit(X, y)
    b = GAM(s(0) + s(1) + s(2), family="poisson", n_jobs=2).fit(X, y)
    np.testing.assert_allclose(b.coef_, a.coef_, rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize("family,method", [("gaussian", "GCV"), ("poisson", "UBRE"), ("binomial", "GCV")])
def test_other_criteria_and_fixed_lambda(rng, family, method):
    X, y, eta = additive(rng, 2000, family)
    gam = GAM(s(0) + s(1, lam=3.0) + s(2), family=family, method=method).fit(X, y)
    assert gam.converged_ and gam.lambda_[1] == pytest.approx(3.0)
    assert np.sqrt(np.mean((gam.predict(X, type="link") - eta) ** 2)) < 0.3


def test_ctrl_c_stops_a_long_fit_and_keeps_the_model():
    import signal
    import subprocess
    import sys
    import time
    code = """
import numpy as np, sys, time
from velkan import GAM, s, te
rng = np.random.default_rng(0)
X = rng.uniform(size=(2_000_000, 3))
y = rng.poisson(np.exp(np.sin(6 * X[:, 0]))).astype(float)
gam = GAM(s(0), family="poisson").fit(X[:1000], y[:1000])
before = gam.predict(X[:5])
long = GAM(te(0, 1, k=(10, 10)) + s(2), family="poisson", tol=1e-300, max_iter=10**6, binning=False)
long.__dict__.update({k: v for k, v in vars(gam).items() if k.endswith('_') or k == '_fitted'})
print("ready", flush=True)
start = time.perf_counter()
try:
    long.fit(X, y)
except KeyboardInterrupt:
    print("interrupted", time.perf_counter() - start, flush=True)
    assert np.array_equal(long.predict(X[:5]), before)
    print("intact", flush=True)
"""
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "ready"
    time.sleep(1.5)
    sent = time.perf_counter()
    p.send_signal(signal.SIGINT)
    out, _ = p.communicate(timeout=60)
    delay = time.perf_counter() - sent
    assert "interrupted" in out and "intact" in out, out
    assert delay < 2.0


def test_straight_line_terms_converge_and_separation_is_reported(rng):
    # Terms whose truth is linear drive their smoothing parameters to the top of the search
    # range, where the criterion is flat: that is convergence, not a failed search.
    X = rng.uniform(size=(400, 5))
    y = X @ np.array([1.0, -2.0, 0.5, 3.0, 0.0]) + np.sin(6 * X[:, 0]) + 0.3 * rng.normal(size=400)
    gam = GAM(sum(s(j, k=10, bs="ps") for j in range(5))).fit(X, y)
    assert gam.converged_ and np.sum(gam.lambda_ > 1e4) >= 2
    with pytest.warns(ConvergenceWarning, match="separated perfectly"):
        GAM(family="binomial").fit(X[:, :2], (X[:, 0] > 0.5).astype(float))


def caught(call):
    """call()'s result or exception, and the warnings it gave."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            result = call()
        except Exception as e:  # noqa: BLE001 - the table says which
            result = e
    return result, [(w.category, str(w.message)) for w in seen]


def mistakes(rng):
    """The data, and (what, parameters, call(gam, data), message): each refused with a
    message naming the argument or column and saying what to do."""
    import pandas as pd
    from velkan import GAMRegressor
    x = rng.uniform(size=500)
    data = pd.DataFrame({"x": x, "g": rng.choice(["a", "b"], 500), "y": np.sin(6 * x) + rng.normal(size=500)})
    text = np.array([[1.0, "hi"], [2.0, "lo"], [3.0, "hi"]] * 10, dtype=object)
    wide = rng.uniform(size=(30, 50))
    return data, [
        ("a factor of a continuous column", dict(terms="y ~ f(x)"), lambda gam, d: gam.fit(d),
         r"no residual degrees of freedom: 500 effective .* for 500 rows.*f\('x'\) has 500 levels.*use s\('x'\)"),
        ("2 rows, a linear term", dict(terms=l(0)), lambda gam, d: gam.fit([[1.0], [2.0]], [1.0, 3.0]),
         "no residual degrees of freedom: 2 effective degrees of freedom for 2 rows"),
        ("50 linear terms on 30 rows", dict(terms=sum(l(j) for j in range(50))),
         lambda gam, d: gam.fit(wide, rng.normal(size=30)), "no residual degrees of freedom: 30 effective"),
        ("text for a smooth (scikit-learn)", {}, lambda gam, d: GAMRegressor().fit(text, np.arange(30.0)),
         r"column 1 holds text \('hi' in row 0\).*f\(1\)"),
        ("numbers for a text factor", {}, lambda gam, d: gam.predict(pd.DataFrame({"x": [0.5], "g": [1]})),
         r"column 'g' holds numbers, but the model's levels of it are text \('a', 'b'\)"),
        ("numbers as text for a smooth", {}, lambda gam, d: gam.predict({"x": np.array(["0.5"], dtype=object),
                                                                       "g": np.array(["a"])}),
         r"column 'x' is not numeric; use f\('x'\)"),
        ("the response in a term", dict(terms="y ~ s(x) + s(y)"), lambda gam, d: gam.fit(d),
         "cannot read column 'y': it is the formula's response"),
        ("no response", dict(terms="s(x) + f(g)"), lambda gam, d: gam.fit(d), r"y is required.*'y ~ s\(x\)'"),
        ("a term twice", dict(terms="y ~ s(x) + s(x)"), lambda gam, d: gam.fit(d),
         r"s\('x', k=25, bs='cr'\) appears twice"),
        ("threads", dict(n_jobs=2**62), lambda gam, d: gam.fit(d), "n_jobs must be an integer from 1 to 1024"),
        ("extrapolation", dict(extrapolate="far"), lambda gam, d: gam.fit(d), "extrapolate must be one of"),
        ("a negative weight", {}, lambda gam, d: gam.fit(d, sample_weight=np.r_[-0.288, np.ones(499)]),
         r"row 0 is -0\.288\)$"),
        ("an input too far out", {}, lambda gam, d: gam.predict({"x": [1e308], "g": ["a"]}),
         r"linear predictor of row 0 is (nan|-?inf).*s\(x\) at 1e\+308 \(fitted on \[.*extrapolate='constant'"),
    ]


def test_mistakes_are_refused_saying_what_to_do_and_keep_the_previous_fit(rng):
    data, table = mistakes(rng)
    for what, params, call, message in table:
        gam = GAM("y ~ s(x) + f(g)").fit(data)
        before = gam.predict(data)
        gam.__dict__.update(params)
        result, _ = caught(lambda: call(gam, data))
        assert isinstance(result, ValueError), (what, result)
        assert re.search(message, str(result)) and "np." not in str(result), (what, str(result))
        gam.__dict__.update(terms="y ~ s(x) + f(g)", n_jobs=None, extrapolate="linear")
        np.testing.assert_array_equal(gam.predict(data), before)


def separable(rng, n):
    """Binary rows from two smooth effects and a factor, which n = 32 rows often separate
    in all or part of the data."""
    x1, x2, g = rng.uniform(-2, 2, n), rng.uniform(-2, 2, n), rng.integers(0, 3, n)
    eta = 2.5 * x1 + np.sin(2 * x2) + 0.8 * (g == 1)
    return np.column_stack([x1, x2, g]), (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float)


def needs_a_word(rng):
    """(what, call, warnings expected as (category, pattern)): fits and predictions that
    succeed but must say what is unusual about them."""
    from velkan import GAMRegressor
    x = rng.permutation(60) / 60.0
    counts = rng.poisson(3.0, 60) + 1.0
    X = rng.uniform(size=(200, 3))
    binary = (X[:, 0] > 0.5).astype(float)
    small = separable(np.random.default_rng(10), 32)
    smooth = GAM(s(0)).fit(X, np.sin(4 * X[:, 0]) + 0.1 * rng.normal(size=200))
    far = np.array([[0.5, 0, 0], [1.2, 0, 0], [-0.5, 0, 0]])
    tiny = np.random.RandomState(0).uniform(size=(10, 3))
    return [
        ("a factor of a continuous column, known scale", lambda: GAM(f(0), family="poisson").fit(x[:, None], counts),
         [(UserWarning, r"f\(0\): column 0 has 60 levels in 60 rows.*use s\(0\)"),
          (ConvergenceWarning, "no residual degrees of freedom .*unpenalized coefficients alone fill every row")]),
        ("smoothing parameters that interpolate", lambda: GAMRegressor().fit(tiny, np.r_[np.zeros(5), np.ones(5)]),
         [(ConvergenceWarning, "no residual degrees of freedom .*smoothing parameters chosen fit every row")]),
        ("a period shorter than the data", lambda: GAM(s(0, bs="cc", period=0.5)).fit(X, X[:, 1]),
         [(UserWarning, r"column 0 spans 0\.99.*more than the period 0\.5")]),
        ("an all-zero count", lambda: GAM(s(0), family="poisson").fit(X, np.zeros(200)),
         [(ConvergenceWarning, "fitted means are numerically 0.*refitted with a ridge")]),
        ("separated classes", lambda: GAM(s(0) + s(1), family="binomial").fit(X, binary),
         [(ConvergenceWarning, "separated perfectly.*refitted with a ridge")]),
        ("classes separated in part of the data", lambda: GAM(s(0, k=10, bs="ps") + s(1, k=10, bs="ps") + f(2), family="binomial").fit(*small),
         [(ConvergenceWarning, r"18 of 32 rows are fitted numerically on the edge of the binomial.*refitted")]),
        ("rows beyond the training range", lambda: smooth.predict(far),
         [(ExtrapolationWarning, r"2 of 3 rows .* by more than 10 % .*\(2 for s\(0\)\).*along its slope")]),
    ]


def test_unusual_results_are_warned_about(rng):
    for what, call, expected in needs_a_word(rng):
        result, seen = caught(call)
        assert not isinstance(result, Exception), (what, result)
        for category, pattern in expected:
            assert any(c is category and re.search(pattern, m) for c, m in seen), (what, pattern, seen)
        if isinstance(result, GAM):
            assert np.abs(result.coef_).max() < 60, what  # finite, not driven to the iteration limit


@pytest.mark.parametrize("family", ["gaussian", "gamma"])
# Performance iteration at any scale; the Laplace criterion's sums are not rescaled, and
# it holds to weights of 2^+-100 (beyond, a fit keeps performance iteration).
@pytest.mark.parametrize("weight, method", [(1e-200, "PQL"), (1e200, "PQL"), (1e-29, "REML"), (1e29, "REML")])
def test_a_common_scale_of_the_weights_changes_nothing_but_the_scale(rng, family, weight, method):
    X, y, _ = additive(rng, 400, family)
    base = GAM(s(0) + s(1, bs="cr") + l(2), family=family, method=method).fit(X, y)
    scaled = GAM(s(0) + s(1, bs="cr") + l(2), family=family, method=method).fit(X, y, sample_weight=np.full(400, weight))
    np.testing.assert_allclose(scaled.coef_, base.coef_, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(scaled.lambda_ / weight, base.lambda_, rtol=1e-6)
    np.testing.assert_allclose(scaled.scale_ / weight, base.scale_, rtol=1e-8)
    np.testing.assert_allclose(scaled.predict(X, return_std=True)[1], base.predict(X, return_std=True)[1], rtol=1e-7)


def test_frequency_weights_count_rows_and_precision_weights_do_not(rng):
    X, y, _ = additive(rng, 200)
    reps = rng.integers(0, 4, size=200)
    repeated = GAM(s(0) + s(1) + l(2)).fit(np.repeat(X, reps, axis=0), np.repeat(y, reps))
    frequency = GAM(s(0) + s(1) + l(2), weights="frequency").fit(X, y, sample_weight=reps)
    for name in ("coef_", "lambda_", "scale_", "edf_"):
        np.testing.assert_allclose(getattr(frequency, name), getattr(repeated, name), rtol=1e-7, atol=1e-10)
    assert frequency.summary().n == reps.sum() == repeated.summary().n
    precision = GAM(s(0) + s(1) + l(2)).fit(X, y, sample_weight=reps)
    assert precision.summary().n == np.count_nonzero(reps)
    assert not np.allclose(precision.scale_, repeated.scale_, rtol=1e-3)


def test_an_aliased_column_is_not_counted_as_a_parameter(rng):
    x = rng.uniform(size=40)
    y = 2 * x + rng.normal(size=40)
    alone = GAM(l(0)).fit(x[:, None], y)
    with pytest.warns(ConvergenceWarning, match="1 coefficient direction"):
        twice = GAM(l(0) + l(1)).fit(np.column_stack([x, 3 * x]), y)
    assert twice.scale_ == pytest.approx(alone.scale_, rel=1e-9)
    assert twice.summary().residual_df == pytest.approx(38.0, abs=1e-6)


def test_smooths_can_be_held_at_the_ends_of_their_range(rng):
    X, y, _ = additive(rng, 500)
    X = np.column_stack([X, rng.uniform(size=500)])
    gam = GAM(s(0) + te(1, 2, k=4, bs=("cr", "ps")) + l(3), extrapolate="constant").fit(X, y)
    lo, hi = X.min(axis=0), X.max(axis=0)
    far = np.array([[-3.0, 0.5, 0.5, 0.5], [4.0, 0.5, 0.5, 0.5], [0.5, 9.0, -2.0, 3.0]])
    edge = np.clip(far, lo, hi)
    # The smooths take their value at the nearest end of their range; the linear term
    # keeps its slope.
    shift = gam.coef_[-1] * (far[:, 3] - edge[:, 3])
    with pytest.warns(ExtrapolationWarning, match="3 of 3 rows.*hold each smooth"):
        held, se = gam.predict(far, return_std=True)
    np.testing.assert_allclose(held, gam.predict(edge) + shift, atol=1e-10)
    np.testing.assert_allclose(se[:2], gam.predict(edge[:2], return_std=True)[1], rtol=1e-12)
    with pytest.warns(ExtrapolationWarning, match="2 of 2 rows"):
        short_label = gam.partial_effect("s(0)", far[:2])[0]
    np.testing.assert_allclose(short_label, gam.partial_effect(s(0), edge[:2])[0], atol=1e-12)
    gam.extrapolate = "linear"
    with pytest.warns(ExtrapolationWarning, match="along its slope"):
        assert np.abs(gam.predict(far) - held).min() > 1e-3
