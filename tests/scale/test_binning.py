"""Fits on binned covariates: the engine's binned pass against an exact pass over the
binned design, bins and codes against NumPy, binned against exact, chunked and in-memory
fits, and the temporary code file."""

import os
import pickle
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from velkan import GAM, f, l, s, te
from velkan import _binning, _engine, _sources, _summaries
from velkan._families import CLASSES
from velkan._data import ArrayColumns
from velkan._design import build_design, engine_columns

# Every registered family, so that a new one is tested the day it is added.
FAMILIES = [info.name for info in _engine.families()]


def response(rng, family, eta):
    """A response in the family's support, from the table's description of it: a
    proportion where the support is the unit interval, else a positive value around
    exp(eta)."""
    info = next(i for i in _engine.families() if i.name == family)
    if info.support == next(i for i in _engine.families() if i.proportion).support:
        return rng.binomial(8, 1 / (1 + np.exp(-eta))) / 8.0
    return rng.gamma(4.0, np.exp(eta) / 4.0)


def parameters(family):
    """Values inside each parameter's range (theta 2, the Tweedie power 1.5)."""
    info = next(i for i in _engine.families() if i.name == family)
    return {name: (lo + hi) / 2 if np.isfinite(hi) else lo + 2.0 for name, lo, hi, _ in info.parameters}


def binnable(family):
    """A family object and method a binned fit takes: every parameter given, performance
    iteration (binned passes give the cross products alone)."""
    return dict(family=CLASSES[family](link=finite_link(family), **parameters(family)), method="PQL")


def finite_link(family):
    """The family's first link whose mean is finite at any linear predictor."""
    info = next(i for i in _engine.families() if i.name == family)
    models = (_engine.ResponseModel(family, link, list(parameters(family).values())) for link in info.links)
    return next(m for m in models if np.all(np.isfinite(m.inverse_link(np.linspace(-3.0, 3.0, 7))))).link


def columns(rng, n):
    """Two continuous columns, one of 30 distinct values, a 5-level and a 300-level factor."""
    X = rng.uniform(size=(n, 5))
    X[:, 2] = rng.integers(0, 30, n) / 29.0
    X[:, 3] = rng.integers(0, 5, n)
    X[:, 4] = rng.integers(0, 300, n)
    return X


# (terms, max_bins, columns left unbinned): every way a term is reduced. Column 2 has 30
# distinct values (binned exactly), so a raw term reading it sees the same values.
MODELS = {
    "tables": (s(0) + s(1, bs="cr") + s(2, bs="cc") + te(0, 2, k=(4, 5)) + l(1) + f(3) + f(4), 256, ()),
    "tensor from codes": (s(0) + te(0, 1, 2, k=(4, 4, 4)) + f(3), 64, ()),
    "raw columns": (s(0) + s(1) + te(1, 2, k=(4, 4)) + l(2) + f(3), 256, (1,)),
    "joint table": (s(0, 1, bs="tp", k=12) + s(2) + f(3), 24, ()),
}


def binned_inputs(X, terms, max_bins, unbinned):
    """The layout, its binned layout, the codes and raw columns a binned pass reads, and
    the columns of the binned design (each binned value replaced by its bin's value)."""
    cols = ArrayColumns(X)
    stats = _binning.SketchStats(cols, None, max_bins)
    design = build_design(terms, cols, stats, True)
    engine = engine_columns(design.inputs, cols, X.shape[1])
    binned = _binning.BinnedDesign.from_sketches(design, stats.sketch)
    for c in unbinned:
        binned.bins[c] = None
    binned = _binning.BinnedDesign(design.spec, design.inputs, binned.bins)
    codes, raw, _ = binned.code(cols, X.shape[1], 0, 2)
    values = [col if b is None else b.values[code.astype(np.int64)]
              for col, b, code in zip(engine, binned.bins, codes)]
    return _engine.Layout(design.spec), binned, codes, raw, values


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("family", FAMILIES)
def test_binned_pass_is_the_exact_pass_of_the_binned_design(rng, family, model):
    terms, max_bins, unbinned = MODELS[model]
    n = 3000
    X = columns(rng, n)
    layout, binned, codes, raw, values = binned_inputs(X, terms, max_bins, unbinned)
    assert set(binned.layout.modes) == {"tables": {"table"}, "tensor from codes": {"table", "codes"},
                                        "raw columns": {"table", "raw"}, "joint table": {"table"}}[model]
    y = response(rng, family, np.sin(4 * X[:, 0]) + X[:, 1])
    w, off = rng.uniform(0.5, 2.0, n), 0.1 * rng.normal(size=n)
    beta0 = 0.05 * rng.normal(size=layout.width)
    beta0[0] = 0.3
    model_ = _engine.ResponseModel(family, finite_link(family), list(parameters(family).values()))
    for first in (True, False):
        exact = _engine.accumulate(layout, values, y, w, off, model_, beta0, first, first, 1)
        sums = _engine.BinnedPass(binned.layout, model_, beta0, first, first, 2, 7)
        for a, b in ((0, 1000), (1000, 1001), (1001, n)):  # chunks, one of a single row
            part = lambda v: None if v is None else v[a:b]  # noqa: E731
            sums.add([part(c) for c in codes], [part(c) for c in raw], y[a:b], w[a:b], off[a:b], a)
        got = sums.result()
        scale = np.abs(exact.xtwx).max()
        np.testing.assert_allclose(got.xtwx, exact.xtwx, rtol=0, atol=1e-12 * scale)
        np.testing.assert_allclose(got.xtwt, exact.xtwt, rtol=0, atol=1e-12 * np.abs(exact.xtwt).max())
        np.testing.assert_allclose(got.column_sums, exact.column_sums, rtol=1e-12, atol=1e-9)
        for name in ("ttwt", "deviance", "pearson", "weight_sum", "rows"):
            assert getattr(got, name) == pytest.approx(getattr(exact, name), rel=1e-12), name
        for name in ("response_sum", "residual_sum", "residual_square_sum", "saturated_sum",
                     "log_normaliser", "offset_rows"):
            assert getattr(got.response, name) == pytest.approx(getattr(exact.response, name),
                                                                rel=1e-12, abs=1e-9), name


def test_binned_pass_refuses_codes_outside_the_bins_and_short_inputs(rng):
    X = columns(rng, 200)
    layout, binned, codes, raw, _ = binned_inputs(X, s(0) + f(3), 16, ())
    y = rng.uniform(size=200)
    sums = binned.new_pass(_engine.ResponseModel("gaussian", "", []), np.zeros(layout.width), True, True, 1)
    bad = [c.copy() if c is not None else None for c in codes]
    bad[0][57] = 16
    with pytest.raises(ValueError, match="column 0 near row 0 is 16; the column has 16 bins"):
        sums.add(bad, raw, y, None, None, 0)
    with pytest.raises(ValueError, match="codes of input column 0 cover 199 rows, expected 200"):
        sums.add([codes[0][1:], codes[1]], raw, y, None, None, 0)


@pytest.mark.parametrize("family", FAMILIES)
def test_rows_gathered_by_code_give_the_sums_of_the_rows(rng, family):
    n = 12000
    X = columns(rng, n)
    X[:, :2] = np.round(X[:, :2] * 9) / 9  # ten values each: 10 x 10 x 6 x 5 cells
    X[:, 2] = np.round(X[:, 2] * 5) / 5
    terms = s(0) + s(1, bs="cr") + s(2, bs="cc") + te(0, 2, k=(4, 5)) + l(1) + f(3)
    layout, binned, codes, raw, _ = binned_inputs(X, terms, 256, ())
    y = response(rng, family, np.sin(4 * X[:, 0]) + X[:, 1])
    w = rng.uniform(0.5, 2.0, n)
    w[::7] = 0.0  # rows of zero weight belong to no group
    model_ = _engine.ResponseModel(family, finite_link(family), list(parameters(family).values()))
    tuples = _engine.CodeTuples(binned.layout, model_, 0.2, 2)
    for a, b in ((0, 5000), (5000, n)):
        tuples.add([None if c is None else c[a:b] for c in codes], y[a:b], w[a:b], a)
    tuples.finish()
    assert 0 < tuples.size < n // 3
    beta0 = 0.05 * rng.normal(size=layout.width)
    rows = _engine.BinnedPass(binned.layout, model_, beta0, False, False, 1)
    rows.add(codes, raw, y, w, None, 0)
    groups = _engine.BinnedPass(binned.layout, model_, beta0, False, False, 2, 5)
    groups.add_tuples(tuples)
    want, got = rows.result(), groups.result()
    np.testing.assert_allclose(got.xtwx, want.xtwx, rtol=0, atol=1e-12 * np.abs(want.xtwx).max())
    np.testing.assert_allclose(got.xtwt, want.xtwt, rtol=0, atol=1e-11 * np.abs(want.xtwt).max())
    for name in ("ttwt", "deviance", "pearson", "weight_sum", "rows"):
        assert getattr(got, name) == pytest.approx(getattr(want, name), rel=1e-10), name
    with pytest.raises(ValueError, match="no more rows"):
        tuples.add(codes, y, w, 0)
    with pytest.raises(ValueError, match="rows or groups of rows, not both"):
        groups.add(codes, raw, y, w, None, 0)
    # A first pass starts the groups' rows from their means, not each row from its own
    # response; what it says of the response alone is that of the rows.
    start = np.zeros(layout.width)
    start[0] = 0.2
    rows = _engine.BinnedPass(binned.layout, model_, start, True, False, 1)
    rows.add(codes, raw, y, w, None, 0)
    groups = _engine.BinnedPass(binned.layout, model_, start, True, False, 1)
    groups.add_tuples(tuples)
    want, got = rows.result(), groups.result()
    for name in ("response_sum", "residual_sum", "residual_square_sum", "saturated_sum",
                 "log_normaliser", "weight_sum"):
        assert getattr(got.response, name) == pytest.approx(getattr(want.response, name), rel=1e-10), name
    assert got.edge_responses == want.edge_responses


def test_gathered_fits_equal_the_fits_of_the_rows(rng, monkeypatch, tmp_path):
    X, y, w, off = small_data(rng, 6000, "gamma", distinct=6)
    X[:, 4:] = np.round(X[:, 4:] * 4) / 4
    terms = s(0, k=5) + s(1, k=5, bs="cr") + f(3) + te(4, 5, k=(4, 4))  # 6 x 6 x 4 x 5 x 5 cells
    chunks = [(X[i:i + 700], y[i:i + 700], w[i:i + 700]) for i in range(0, 6000, 700)]
    gathered, gather = [], _binning.BinnedDesign.gather
    monkeypatch.setattr(_binning.BinnedDesign, "gather",
                        lambda *a: gathered.append(gather(*a)) or gathered[-1])
    fits = {}
    for per_cell in (1, 10 ** 9):  # gathered, not
        monkeypatch.setattr(_binning, "ROWS_PER_CELL", per_cell)
        for data in ("memory", "chunks", "offset"):
            gam = GAM(terms, family="gamma", binning=True, n_jobs=2)
            fits[per_cell, data] = (gam.fit(chunks) if data == "chunks" else
                                    gam.fit(X, y, w, off if data == "offset" else None))
    # A gathered fit starts each row from its cell's mean response, not its own: another
    # path to the same fit, which it reaches to the iteration's tolerance.
    for data in ("memory", "chunks", "offset"):
        a, b = fits[1, data], fits[10 ** 9, data]
        np.testing.assert_allclose(a.predict(X), b.predict(X), rtol=1e-5)
        assert (a.deviance_, a.scale_, a.aic()) == pytest.approx((b.deviance_, b.scale_, b.aic()), rel=1e-5)
    np.testing.assert_allclose(fits[1, "chunks"].coef_, fits[1, "memory"].coef_, rtol=0, atol=1e-8)
    assert [g is not None for g in gathered] == [True, True, False] + [False] * 3  # an offset: not


# ----------------------------------------------------------------------------- bins
def data_kinds(rng, n):
    return {
        "uniform": rng.uniform(size=n),
        "lognormal": rng.lognormal(0.0, 3.0, size=n),  # most edges in a few grid cells
        "300 integers": rng.integers(-150, 150, n).astype(float),
        "ties": np.round(rng.normal(size=n), 2),
        "signed zeros": np.where(rng.uniform(size=n) < 0.5, -0.0, rng.normal(size=n)),
        "huge range": rng.choice([-1e300, -1.0, 5e-324, 1e-300, 1.0, 1e300], n) * rng.uniform(1, 2, n),
    }


@pytest.mark.parametrize("max_bins", [2, 255, 256, 1000])
def test_codes_follow_the_edges(rng, max_bins):
    for name, x in data_kinds(rng, 20000).items():
        sketch = _engine.ColumnSketch(max_bins)
        assert sketch.update(x) == x.size
        bins = sketch.bins()
        edges = bins.edges
        assert 1 <= bins.size <= max_bins and np.all(np.diff(edges) > 0), name
        codes, first_bad = bins.codes(x, 2)
        assert first_bad == x.size
        assert codes.dtype == (np.uint8 if bins.size <= 256 else np.uint16)
        np.testing.assert_array_equal(codes, np.searchsorted(edges, x, side="right"), err_msg=name)
        at, below = bins.codes(edges, 1)[0], bins.codes(np.nextafter(edges, -np.inf), 1)[0]
        np.testing.assert_array_equal(at, np.arange(1, bins.size), err_msg=name)
        np.testing.assert_array_equal(below, np.arange(bins.size - 1), err_msg=name)
        lo = np.concatenate([[x.min()], edges])
        hi = np.concatenate([edges, [x.max()]])
        assert np.all((lo <= bins.values) & (bins.values <= hi)), name
        if np.unique(x).size <= 4096:  # the sample holds every distinct value
            first = np.array([x[codes == j].min() for j in range(bins.size)])
            last = np.array([x[codes == j].max() for j in range(bins.size)])
            np.testing.assert_array_equal(bins.values, first + 0.5 * (last - first), err_msg=name)
    y = x.copy()
    y[1234] = np.nan
    assert bins.codes(y, 2)[1] == 1234
    assert _engine.ColumnSketch(8).update(y) == 1234


def test_bins_are_exact_below_max_bins_and_quantiles_above(rng):
    x = rng.choice(rng.normal(size=40), 5000)
    sketch = _engine.ColumnSketch(40)
    sketch.update(x)
    bins = sketch.bins()
    assert bins.exact and np.array_equal(bins.values, np.unique(x))
    np.testing.assert_array_equal(bins.values[bins.codes(x)[0]], x)
    # 10^5 distinct skewed values into 100 bins: about 1000 values in each (a sample of 64
    # per bin makes a bin's count vary by about 1/8 of itself).
    x = rng.lognormal(0.0, 2.0, size=100_000)
    sketch = _engine.ColumnSketch(100)
    sketch.update(x)
    bins = sketch.bins()
    assert not bins.exact and bins.size == 100
    counts = np.bincount(bins.codes(x)[0], minlength=100)
    assert counts.min() > 500 and counts.max() < 1600


def test_sketch_depends_on_the_set_of_values_alone(rng):
    x = np.concatenate([rng.normal(size=150_000), rng.normal(size=50_000).round(1)])
    w = rng.uniform(size=x.size)
    whole = _engine.ColumnSketch(256)
    whole.update(x, w)
    order = rng.permutation(x.size)
    parts = np.array_split(order, 7)
    merged = _engine.ColumnSketch(256)
    for part in reversed(parts):
        sketch = _engine.ColumnSketch(256)
        sketch.update(x[part], w[part])
        merged.merge(pickle.loads(pickle.dumps(sketch)))
    a, b = whole.bins(), merged.bins()
    np.testing.assert_array_equal(a.edges, b.edges)
    np.testing.assert_array_equal(a.values, b.values)
    assert (merged.min, merged.max) == (x.min(), x.max())
    assert merged.weighted_sum == pytest.approx(w @ x, rel=1e-12)


@pytest.mark.parametrize("limit", [300, 5000, 1 << 20])
def test_a_sketch_keeping_values_bins_as_the_plain_sketch(rng, limit):
    # Exact values, a sample of them, and the plain sketch's smaller sample within it.
    for name, x in data_kinds(rng, 40_000).items():
        plain = _engine.ColumnSketch(64)
        plain.update(x)
        keeping = _engine.ColumnSketch.keeping_values(64, limit, 8192)
        for part in np.array_split(x, 3):
            keeping.merge(pickle.loads(pickle.dumps(_keeping(part, limit))))
        a, b = plain.bins(), keeping.bins()
        np.testing.assert_array_equal(a.edges, b.edges, err_msg=name)
        np.testing.assert_array_equal(a.values, b.values, err_msg=name)
        assert a.exact == b.exact
        u = np.unique(x + 0.0)
        assert keeping.exact == (u.size <= limit)
        if keeping.exact:
            np.testing.assert_array_equal(keeping.values(), u, err_msg=name)
        else:
            v = keeping.values()  # the sample and the extremes, which it may hold
            assert min(u.size, 8192) <= v.size <= min(u.size, 8192) + 2 and (v[0], v[-1]) == (u[0], u[-1]) and np.isin(v, u).all()
    with pytest.raises(ValueError, match="exact_limit"):
        _engine.ColumnSketch.keeping_values(256, 100, 1 << 16)


def _keeping(x, limit):
    sketch = _engine.ColumnSketch.keeping_values(64, limit, 8192)
    sketch.update(x)
    return sketch


# ----------------------------------------------------------------------------- fits
def small_data(rng, n, family, distinct=None):
    """Columns 0-2 and 4-5 numeric (0-2 with `distinct` values each when given), 3 a factor."""
    X = rng.uniform(size=(n, 6))
    if distinct:
        X[:, :3] = np.round(X[:, :3] * (distinct - 1)) / (distinct - 1)
    X[:, 3] = rng.integers(0, 4, n)
    eta = (np.sin(2 * np.pi * X[:, 0]) + np.cos(2 * np.pi * X[:, 1]) + 0.5 * X[:, 2] + 0.3 * X[:, 3]
           + np.sin(np.pi * X[:, 4]) * np.cos(np.pi * X[:, 5]))
    return X, response(rng, family, eta), rng.uniform(0.5, 2.0, n), 0.1 * rng.normal(size=n)


TERMS = s(0, k=10, bs="ps") + s(1, k=10, bs="cr") + l(2) + f(3) + te(4, 5, k=(5, 5))


@pytest.mark.parametrize("family", FAMILIES)
def test_few_distinct_values_give_the_exact_fit(rng, family):
    X, y, w, off = small_data(rng, 2000, family, distinct=40)
    X[:, 4:] = np.round(X[:, 4:] * 29) / 29
    # A family with a parameter converges to the coefficients' 1e-7 at a tighter tolerance.
    tol = 1e-10 if parameters(family) else 1e-7
    exact = GAM(TERMS, **binnable(family), binning=False, tol=tol).fit(X, y, w, off)
    binned = GAM(TERMS, **binnable(family), binning=True, max_bins=40, tol=tol).fit(X, y, w, off)
    assert binned.binned_ and not exact.binned_
    # Both fits stop within the iteration tolerance (1e-7): coefficients agree to a few times
    # it, relative to the largest (te's second smoothing parameter sits near its upper bound
    # here, where the criterion is flat and rounding moves the coefficients most).
    np.testing.assert_allclose(binned.coef_, exact.coef_, rtol=0, atol=5e-7 * np.abs(exact.coef_).max())
    np.testing.assert_allclose(binned.lambda_, exact.lambda_, rtol=1e-5)
    assert binned.deviance_ == pytest.approx(exact.deviance_, rel=1e-9)


def test_rows_of_zero_weight_place_no_knots(rng, monkeypatch):
    X, y, w, off = small_data(rng, 3000, "gaussian")
    w[:60], X[:60, 1] = 0.0, X[:, 1].max() + 0.05 * np.arange(60)
    # Streamed, past the exact limit: knots from the sample, which holds every value here.
    monkeypatch.setattr(_summaries, "EXACT_DISTINCT_LIMIT", 1000)
    chunks = [(X[i:i + 500], y[i:i + 500], w[i:i + 500]) for i in range(0, 3000, 500)]
    knots = lambda gam: gam._fitted.design.spec[2].margins[0].knots  # noqa: E731  s(1, bs="cr")
    exact = knots(GAM(TERMS, binning=False).fit(X, y, w))
    assert exact[-1] < X[60:, 1].max() + 1e-12
    for fit in (lambda g: g.fit(X, y, w), lambda g: g.fit(chunks)):
        for binning in (True, False):
            np.testing.assert_array_equal(knots(fit(GAM(TERMS, binning=binning))), exact)


@pytest.mark.parametrize("family", FAMILIES)
def test_chunked_binned_fit_equals_the_in_memory_one(rng, monkeypatch, tmp_path, family):
    X, y, w, off = small_data(rng, 1500, family)
    a = GAM(TERMS, **binnable(family), binning=True, max_bins=32).fit(X, y, w, off)
    # Codes in a file, 97-row chunks, 7-row blocks, two threads.
    monkeypatch.setattr(_binning, "CODES_IN_MEMORY_BYTES", 0)
    monkeypatch.setattr(_sources, "PASS_BLOCK_ROWS", 7)
    chunks = [(X[i:i + 97], y[i:i + 97], w[i:i + 97], off[i:i + 97]) for i in range(0, 1500, 97)]
    b = GAM(TERMS, **binnable(family), binning=True, max_bins=32, n_jobs=2, temp_dir=tmp_path).fit(chunks)
    assert b.binned_ and b._fitted.passes == a._fitted.passes + 1
    # Sums added in another order differ by rounding; where a smoothing parameter sits near
    # its upper bound (binomial here) the flat criterion lets that move the coefficients to
    # about 1e-8 of the largest, the fitted values far less.
    np.testing.assert_allclose(b.coef_, a.coef_, rtol=0, atol=1e-7 * np.abs(a.coef_).max())
    assert b.deviance_ == pytest.approx(a.deviance_, rel=1e-8)
    np.testing.assert_allclose(b.predict(X, offset=off), a.predict(X, offset=off), rtol=1e-8)
    assert os.listdir(tmp_path) == []


def test_binning_auto_and_bad_parameters(rng, monkeypatch):
    X, y, _, _ = small_data(rng, 500, "gaussian")
    assert not GAM(s(0)).fit(X, y).binned_
    # a two-column thin plate (costly rows, tabulated when binned) from fewer rows
    monkeypatch.setattr(_binning, "AUTO_ROWS_THIN_PLATE", 500)
    assert [GAM(t).fit(X, y).binned_ for t in (s(0, 1, k=10), te(0, 1), s(0) + s(1, 2, k=10))] == [True, False, True]
    chunks = [(X[i:i + 100], y[i:i + 100]) for i in range(0, 500, 100)]
    assert GAM(s(0, 1, k=10)).fit(chunks).binned_
    monkeypatch.setattr(_binning, "AUTO_ROWS", 500)
    assert GAM(s(0)).fit(X, y).binned_
    assert not GAM(s(0), binning=False).fit(X, y).binned_
    for kwargs, message in (({"binning": "yes"}, "binning must be True, False or 'auto'"),
                            ({"binning": 1}, "binning must be"),
                            ({"max_bins": 1}, "max_bins must be an integer from 2 to 4096"),
                            ({"max_bins": True}, "max_bins must be"),
                            ({"temp_dir": "/no/such/dir"}, "temp_dir: no directory")):
        with pytest.raises(ValueError, match=message):
            GAM(s(0), **kwargs).fit(X, y)


class FailingChunks:
    """Chunks of (X, y), read once per pass; pass `fail_on` raises `error` on its second
    chunk, after recording what the code directory held."""

    def __init__(self, X, y, directory, fail_on=None, error=None):
        self.X, self.y, self.directory = X, y, directory
        self.fail_on, self.error, self.passes, self.seen = fail_on, error, 0, []

    def __call__(self):
        self.passes += 1
        for i in range(0, len(self.y), 250):
            if self.passes == self.fail_on and i == 250:
                self.seen = os.listdir(self.directory)
                raise self.error
            yield self.X[i:i + 250], self.y[i:i + 250]


@pytest.mark.parametrize("error", [None, ValueError("a bad chunk"), KeyboardInterrupt()])
def test_the_code_file_goes_at_the_end_of_a_fit(rng, monkeypatch, tmp_path, capsys, error):
    monkeypatch.setattr(_binning, "CODES_IN_MEMORY_BYTES", 0)
    monkeypatch.setitem(sys.modules, "tqdm", None)  # one line per pass instead of a bar
    X, y, _, _ = small_data(rng, 1000, "poisson")
    source = FailingChunks(X, y, tmp_path, fail_on=3 if error else None, error=error)
    gam = GAM(s(0) + s(1), family="poisson", binning=True, temp_dir=tmp_path, verbose=True)
    if error is None:
        gam.fit(source)
        out = capsys.readouterr().out
        assert "codes: 2.0 kB in a temporary file " + str(tmp_path) in out  # 2 bytes x 1000 rows
        assert "pass 3 (cross products): 1000 rows, 10.0 kB read" in out  # codes and y
    else:
        with pytest.raises(type(error)):
            gam.fit(source)
        assert len(source.seen) == 1 and source.seen[0].startswith("velkan-codes-")
    assert os.listdir(tmp_path) == []


def test_ctrl_c_during_a_binned_fit_removes_the_code_file(tmp_path):
    # A real SIGINT while later passes read the code file back.
    code = f"""
import time, numpy as np, velkan
from velkan import _binning, GAM, s
_binning.CODES_IN_MEMORY_BYTES = 0
rng = np.random.default_rng(0)
X = rng.uniform(size=(4000, 2)); y = rng.poisson(np.exp(np.sin(6 * X[:, 0])))
def chunks():
    for i in range(0, 4000, 100):
        time.sleep(0.05)
        yield X[i:i + 100], y[i:i + 100]
print("start", flush=True)
GAM(s(0) + s(1), family="poisson", binning=True, temp_dir={str(tmp_path)!r}, max_iter=10**6, tol=1e-300).fit(chunks)
"""
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not os.listdir(tmp_path) and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.02)
    assert os.listdir(tmp_path), proc.communicate()
    time.sleep(0.3)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert time.monotonic() - sent < 5
    assert "KeyboardInterrupt" in err
    assert os.listdir(tmp_path) == []
