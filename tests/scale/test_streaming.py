"""Streamed fits: every source and chunking gives the in-memory model; the summary pass;
bad streams; progress; a fit under an address-space limit smaller than its data file."""

import os
import pickle
import sys

import numpy as np
import pytest

from tests.helpers import run_python
from velkan import GAM, f, l, re, s, te
from velkan import _design, _engine, _sources, _summaries

FAMILIES = ["gaussian", "binomial", "poisson", "gamma", "negative_binomial", "tweedie"]


def data(rng, n, family):
    X = rng.uniform(size=(n, 5))
    X[:, 3] = rng.integers(0, 4, size=n)
    # Every smooth's truth is wiggly, so that no smoothing parameter runs off to infinity
    # (where the criterion is flat and the search stops anywhere within its tolerance).
    eta = (np.sin(2 * np.pi * X[:, 0]) + np.cos(2 * np.pi * X[:, 1]) + 0.8 * np.sin(2 * np.pi * X[:, 2])
           + X[:, 1] * X[:, 2] + 0.3 * X[:, 3] + 0.5 * X[:, 4])
    mu = 1 / (1 + np.exp(-eta)) if family == "binomial" else (eta if family == "gaussian" else np.exp(eta))
    y = {"gaussian": lambda: mu + 0.3 * rng.normal(size=n),
         "binomial": lambda: rng.binomial(1, mu).astype(float),
         "poisson": lambda: rng.poisson(mu).astype(float),
         "gamma": lambda: rng.gamma(5.0, mu / 5.0),
         "negative_binomial": lambda: rng.negative_binomial(3.0, 3.0 / (3.0 + mu)).astype(float),
         # a compound poisson-gamma sum (Tweedie, p = 1.5, scale 1)
         "tweedie": lambda: np.where((k := rng.poisson(2 * np.sqrt(mu))) > 0,
                                     rng.gamma(np.maximum(k, 1), 0.5 * np.sqrt(mu)), 0.0)}[family]()
    return X, y, rng.uniform(0.5, 2.0, size=n), 0.1 * rng.normal(size=n)


MODELS = [
    (s(0) + s(1, bs="cr") + s(2, bs="cc") + f(3) + l(4), True),
    (te(1, 2, k=(5, 5)) + s(0, bs="cr", k=8) + f(3), False),
    # The new kinds: a thin-plate point sample, a random effect, a shape, a numeric by.
    (s(0, 1, bs=[b[0] for b in _engine.bases() if b[4] > 1][0], k=12) + re(3)
     + s(4, constraint="increasing", k=10) + s(2, by=3, k=6), True),
]


def assert_same_model(a, b, X, offset=None, tol=1e-8):
    np.testing.assert_allclose(b.coef_, a.coef_, rtol=tol, atol=tol * np.abs(a.coef_).max())
    assert b.deviance_ == pytest.approx(a.deviance_, rel=tol)
    assert b.edf_ == pytest.approx(a.edf_, rel=1e-6)  # as settled as the smoothing-parameter search
    pa = a.predict(X, offset=offset)
    np.testing.assert_allclose(b.predict(X, offset=offset), pa, rtol=tol, atol=tol * np.abs(pa).max())


@pytest.mark.parametrize("model", range(len(MODELS)))
@pytest.mark.parametrize("family", FAMILIES)
def test_tiny_chunks_and_blocks_give_the_in_memory_model(rng, monkeypatch, family, model):
    terms, intercept = MODELS[model]
    X, y, w, off = data(rng, 1500, family)
    a = GAM(terms, family=family, fit_intercept=intercept, n_jobs=1).fit(X, y, w, off)
    monkeypatch.setattr(_sources, "PASS_BLOCK_ROWS", 7)
    chunks = [(X[i:i + 97], y[i:i + 97], w[i:i + 97], off[i:i + 97]) for i in range(0, 1500, 97)]
    # The first pass summarises numeric columns by sketches unless binning is off.
    binning = "auto" if model == 0 else False
    b = GAM(terms, family=family, fit_intercept=intercept, n_jobs=2, binning=binning).fit(chunks)
    assert b._fitted.passes == a._fitted.passes + 1  # the summary pass
    assert_same_model(a, b, X, off)
    chunks = [(X[i:i + 400], y[i:i + 400], None, off[i:i + 400]) for i in range(0, 1500, 400)]
    np.testing.assert_allclose(b.predict(chunks), b.predict(X, offset=off), rtol=1e-13, atol=1e-13)


def sources(tmp_path, X, y):
    """(name, X argument, y argument) for every kind of stream, all over the same rows."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    names = [f"x{j}" for j in range(X.shape[1])]
    table = pa.table({**{nm: X[:, j] for j, nm in enumerate(names)}, "y": y})
    pq.write_table(table, tmp_path / "one.parquet", row_group_size=300)
    (tmp_path / "many").mkdir()
    for i, a in enumerate(range(0, len(y), 700)):
        pq.write_table(table.slice(a, 700), tmp_path / "many" / f"part{i}.parquet")
    np.save(tmp_path / "c.npy", X)
    np.save(tmp_path / "f.npy", np.asfortranarray(X))
    np.save(tmp_path / "y.npy", y)
    bad = X.copy()
    bad[0, 0] = np.nan
    np.save(tmp_path / "bad.npy", bad)
    cow = np.load(tmp_path / "bad.npy", mmap_mode="c")
    cow[0, 0] = X[0, 0]  # mended in the private map only: must be read through the map
    np.save(tmp_path / "rows.npy", np.vstack([np.full((10, X.shape[1]), np.nan), X]))
    np.save(tmp_path / "cols.npy", np.hstack([np.full((len(y), 2), np.nan), X]))
    return [
        ("parquet file", tmp_path / "one.parquet", "y"),
        ("parquet directory", str(tmp_path / "many"), "y"),
        ("record batches", lambda: iter(table.to_batches(max_chunksize=333)), "y"),
        ("tables with array y", [table.slice(a, 500) for a in range(0, len(y), 500)], y),
        ("npy C order", str(tmp_path / "c.npy"), y),
        ("npy Fortran order, memmap y", tmp_path / "f.npy", np.load(tmp_path / "y.npy", mmap_mode="r")),
        ("memmap at an offset", np.memmap(tmp_path / "c.npy", float, "r", offset=128, shape=X.shape), y),
        ("memmap view at an offset", np.load(tmp_path / "rows.npy", mmap_mode="r+")[10:], y),
        ("copy-on-write memmap", cow, y),
        ("strided memmap view", np.load(tmp_path / "cols.npy", mmap_mode="r")[:, 2:], y),
    ]


def test_every_source_reads_the_same_rows(rng, tmp_path, monkeypatch):
    X, y, _, _ = data(rng, 2000, "gaussian")
    terms = s(0) + s(1, bs="cr") + s(2) + f(3) + l(4)
    base = GAM(terms).fit(X, y)
    monkeypatch.setattr(_sources, "CHUNK_ROWS", 256)
    for name, Xs, ys in sources(tmp_path, X, y):
        gam = GAM(terms).fit(Xs, ys)
        assert gam._fitted.rows == 2000, name
        np.testing.assert_allclose(gam.coef_, base.coef_, rtol=1e-8, atol=1e-10, err_msg=name)
        np.testing.assert_allclose(gam.predict(Xs), base.predict(X), rtol=1e-9, err_msg=name)


def test_named_columns_default_terms_leave_out_the_response(rng, tmp_path):
    import pyarrow as pa
    X, y, w, _ = data(rng, 800, "poisson")
    table = pa.table({"a": X[:, 0], "count": y, "b": X[:, 1], "w": w})
    gam = GAM(family="poisson").fit([table.slice(0, 300), table.slice(300)], "count", "w")
    ref = GAM(s(0) + s(1), family="poisson").fit(X[:, :2], y, w)
    assert [t.sources for t in gam._fitted.terms[1:]] == [("a",), ("b",)]
    np.testing.assert_allclose(gam.coef_, ref.coef_, rtol=1e-8, atol=1e-10)


class TestDistinctValues:
    def test_exact_below_the_limit_and_order_free(self, rng):
        x = np.round(rng.normal(size=5000), 2)
        x[::7] = -0.0
        d = _engine.ColumnSketch.keeping_values(0, _summaries.EXACT_DISTINCT_LIMIT, 4096)
        for part in np.array_split(rng.permutation(x), 7):
            d.update(part)
        assert d.exact
        np.testing.assert_array_equal(d.values(), np.unique(x + 0.0))

    def test_sample_knots_near_exact_quantiles(self, rng):
        # Half the rows repeat one value: quantiles of the distinct values, not of the rows.
        x = np.concatenate([rng.exponential(size=60000), np.full(60000, 0.25)])
        parts = np.array_split(rng.permutation(x), 9)
        new = lambda: _engine.ColumnSketch.keeping_values(0, 1000, 4096)  # noqa: E731
        whole, merged = new(), new()
        for p in parts:
            whole.update(p)
        for group in (parts[:4], parts[4:]):
            d = new()
            for p in group:
                d.update(p)
            merged.merge(pickle.loads(pickle.dumps(d)))
        assert not whole.exact and whole.values().size == 4096 + 2
        np.testing.assert_array_equal(merged.values(), whole.values())
        u = np.unique(x)
        probs = np.linspace(0, 1, 12)
        knots = np.quantile(whole.values(), probs)
        assert knots[0] == u[0] and knots[-1] == u[-1]
        ranks = np.searchsorted(u, knots) / (u.size - 1)
        assert np.max(np.abs(ranks - probs)) < 4 / np.sqrt(4096)


def test_thin_plate_point_samples_nest_and_agree_with_memory(rng):
    # A sample's first m points are the sample of size m, however the rows arrive: so the
    # terms of one set of columns share one streamed sample, each taking its first points.
    x = np.round(rng.lognormal(size=(20000, 1)), 3)  # repeated values
    big, small = _design.PointSample(1, 400), _design.PointSample(1, 300)
    for part in np.array_split(x, 9):
        big.update(part)
    small.update(x[::-1])
    assert len(np.unique(big.points())) == 400
    np.testing.assert_array_equal(big.points(300), small.points())
    tp = [b[0] for b in _engine.bases() if b[4] > 1][0]
    y = np.sin(x[:, 0]) + 0.3 * rng.normal(size=x.shape[0])
    a = GAM(s(0, bs=tp, k=8)).fit(x, y)
    b = GAM(s(0, bs=tp, k=8)).fit([(x[i:i + 3000], y[i:i + 3000]) for i in range(0, 20000, 3000)])
    assert a._fitted.design.spec[1].points.shape[0] == _design.thin_plate_points(1, 8)
    assert_same_model(a, b, x)


def test_bad_streams_are_refused_with_the_global_row(rng, tmp_path):
    X, y, _, _ = data(rng, 600, "poisson")
    Xn = X.copy()
    Xn[437, 1] = np.nan
    chunks = [(Xn[i:i + 100], y[i:i + 100]) for i in range(0, 600, 100)]
    yneg = y.copy()
    yneg[512] = -1.0
    mm = np.lib.format.open_memmap(tmp_path / "x.npy", mode="w+", shape=X.shape)
    mm[:] = X
    mm.flush()
    cases = [
        ((c for c in chunks), None, TypeError, "one-shot|read only once"),
        (chunks, None, ValueError, r"column 1, row 437"),
        ([(X[i:i + 100], yneg[i:i + 100]) for i in range(0, 600, 100)], None, ValueError, r"y\[512\]"),
        ([X[:300], X[300:, :4]], y, ValueError, "chunk 1 of X has columns 4"),
        (chunks, y, ValueError, "carry their own y"),
        (str(tmp_path / "x.npy"), y[:-1], ValueError, r"one value per row \(600\)"),
        (str(tmp_path / "x.npy"), "y", ValueError, "names a column, but X has no column names"),
        (str(tmp_path / "none.parquet"), "y", FileNotFoundError, "no file or directory"),
    ]
    for Xs, ys, exc, msg in cases:
        with pytest.raises(exc, match=msg):
            GAM(s(0) + s(1), family="poisson").fit(Xs, ys)


def test_progress_lines_without_tqdm_and_a_bar_with_it(rng, monkeypatch, capsys):
    X, y, _, _ = data(rng, 400, "poisson")
    chunks = [(X[i:i + 150], y[i:i + 150]) for i in range(0, 400, 150)]
    pytest.importorskip("tqdm")
    gam = GAM(s(0), family="poisson", verbose=True).fit(chunks)
    err = capsys.readouterr().err
    assert "pass 1 (column summaries)" in err and f"pass {gam._fitted.passes} (cross products)" in err
    monkeypatch.setitem(sys.modules, "tqdm", None)
    gam = GAM(s(0), family="poisson", verbose=True).fit(chunks)
    lines = [ln for ln in capsys.readouterr().out.splitlines() if ln.startswith("pass ")]
    assert len(lines) == gam._fitted.passes
    # One column and y, 8 bytes each, on 400 rows.
    assert lines[0].startswith("pass 1 (column summaries): 400 rows, 6.4 kB read in ")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer reserves more address space than the limit")
def test_fit_under_an_address_space_limit_below_the_file_size(rng, tmp_path):
    # 2e6 rows x 96 columns in Fortran order: 1.5 GB on disk, of which only the three
    # columns written are allocated; the fit runs with 1 GB of address space.
    n, m = 2_000_000, 96
    path = tmp_path / "wide.npy"
    big = np.lib.format.open_memmap(path, mode="w+", shape=(n, m), fortran_order=True)
    x = rng.uniform(size=(n, 2))
    y = np.sin(6 * x[:, 0]) + x[:, 1] ** 2 + 0.3 * rng.normal(size=n)
    big[:, 0], big[:, 1] = x[:, 0], x[:, 1]
    del big
    np.save(tmp_path / "y.npy", y)
    ref = GAM(s(0, k=10, bs="ps") + s(1, k=10, bs="ps")).fit(x, y)
    code = f"""
import resource, numpy as np
from velkan import GAM, s
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
try:
    np.load({str(path)!r}, mmap_mode="r")
    print("mapped")
except (OSError, MemoryError, ValueError):
    pass
gam = GAM(s(0, k=10, bs="ps") + s(1, k=10, bs="ps")).fit({str(path)!r}, np.load({str(tmp_path / 'y.npy')!r}))
np.save({str(tmp_path / 'coef.npy')!r}, gam.coef_)
"""
    out = run_python(code, env_extra={"PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert "mapped" not in out.stdout
    np.testing.assert_allclose(np.load(tmp_path / "coef.npy"), ref.coef_, rtol=1e-8, atol=1e-10)


def test_unaligned_arrays_are_read_like_aligned_ones(rng):
    # NumPy arrays need not be aligned (unpickled from a byte buffer, as partitions arrive
    # on a Dask worker); the engine reads doubles in place, so it copies those first.
    def unaligned(a):
        out = np.frombuffer(np.zeros(a.nbytes + 1, np.uint8).data, a.dtype, a.size, offset=1).reshape(a.shape)
        out[...] = a
        assert not out.flags.aligned
        return out

    X, y, w, off = data(rng, 500, "poisson")
    terms = s(0) + s(1, bs="cr") + f(3)
    ref = GAM(terms, family="poisson").fit(X, y, w, off)
    gam = GAM(terms, family="poisson").fit(unaligned(X), unaligned(y), unaligned(w), unaligned(off))
    np.testing.assert_array_equal(gam.coef_, ref.coef_)
    np.testing.assert_array_equal(gam.predict(unaligned(X), offset=unaligned(off)), ref.predict(X, offset=off))
    def layout(knots):
        return _engine.Layout([_engine.TermSpec("smooth", [0], [_engine.MarginSpec("cr", 6, knots)])])
    knots = np.linspace(0.0, 1.0, 6)
    np.testing.assert_array_equal(layout(unaligned(knots)).design([X[:, 0]]), layout(knots).design([X[:, 0]]))
