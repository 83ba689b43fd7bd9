"""Fits and predictions on a Dask cluster of two worker processes equal the in-memory ones."""

import sys

import numpy as np
import pytest

from tests.scale.test_streaming import assert_same_model, data
from velkan import GAM, f, l, s

pytest.importorskip("dask", reason="dask is an optional extra: pip install 'velkan[dask]'")
distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")
da = pytest.importorskip("dask.array", reason="dask.array needs numpy support in dask")

TERMS = s(0) + s(1, bs="cr") + s(2, bs="cc") + f(3) + l(4)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


def ran_on_the_workers(client):
    return client.run(lambda: "velkan._engine" in sys.modules) == {w: True for w in client.scheduler_info()["workers"]}


def test_dask_array_fit_and_prediction(client, rng):
    X, y, w, off = data(rng, 6000, "poisson")
    ref = GAM(TERMS, family="poisson").fit(X, y, w, off)
    dX = da.from_array(X, chunks=(1100, 5))
    # y chunked unlike X, weights from NumPy, offset as a dask array: all cut into X's chunks.
    gam = GAM(TERMS, family="poisson").fit(dX, da.from_array(y, chunks=700), w, da.from_array(off, chunks=1100))
    assert ran_on_the_workers(client)
    assert_same_model(ref, gam, X, off)
    mu = gam.predict(dX, offset=off)
    assert isinstance(mu, da.Array)
    np.testing.assert_allclose(mu.compute(), ref.predict(X, offset=off), rtol=1e-8)


def test_dask_dataframe_with_named_columns(client, rng):
    dd = pytest.importorskip("dask.dataframe", reason="dask.dataframe needs pandas")
    pd = pytest.importorskip("pandas")
    X, y, w, _ = data(rng, 3000, "gaussian")
    frame = pd.DataFrame({"a": X[:, 0], "b": X[:, 1], "g": X[:, 3], "y": y, "w": w})
    ddf = dd.from_pandas(frame, npartitions=4)
    ref = GAM(s(0) + s(1, bs="cr") + f(2)).fit(X[:, [0, 1, 3]], y, w)
    gam = GAM(s("a") + s("b", bs="cr") + f("g")).fit(ddf, "y", "w")
    np.testing.assert_allclose(gam.coef_, ref.coef_, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(gam.predict(ddf).compute(), ref.predict(X[:, [0, 1, 3]]), rtol=1e-8)
    bad = frame.assign(a=frame["a"].where(frame.index != 2000))
    with pytest.raises(ValueError, match=r"partition 2 of X: X contains NaN .*column 'a', row 500"):
        GAM(s("a")).fit(dd.from_pandas(bad, npartitions=4), "y")


def test_checks_read_the_partitions_once(client, rng):
    X, y, w, off = data(rng, 4000, "poisson")
    ref = GAM(TERMS, family="poisson").fit(X, y, w, off)
    gam = GAM(TERMS, family="poisson").fit(da.from_array(X, chunks=(900, 5)), y, w, off)
    resid = gam.residuals(kind="pearson")
    assert isinstance(resid, da.Array)
    np.testing.assert_allclose(resid.compute(), ref.residuals(kind="pearson"), rtol=1e-7, atol=1e-9)
    for a, b in zip(ref.diagnostics().terms, gam.diagnostics().terms):
        assert b.statistic == pytest.approx(a.statistic, rel=1e-6)
    np.testing.assert_array_equal(gam.simulate(n=2, seed=3), gam.simulate(X, n=2, seed=3, sample_weight=w,
                                                                          offset=off))


def test_binned_dask_fit_equals_the_in_process_binned_fit(client, rng):
    X, y, w, off = data(rng, 6000, "poisson")
    ref = GAM(TERMS, family="poisson", binning=True, max_bins=64).fit(X, y, w, off)
    gam = GAM(TERMS, family="poisson", binning=True, max_bins=64).fit(
        da.from_array(X, chunks=(1100, 5)), da.from_array(y, chunks=1100), w, da.from_array(off, chunks=1100))
    assert gam.binned_ and ran_on_the_workers(client)
    np.testing.assert_allclose(gam.coef_, ref.coef_, rtol=1e-10, atol=1e-10 * np.abs(ref.coef_).max())
    assert gam.deviance_ == pytest.approx(ref.deviance_, rel=1e-10)
