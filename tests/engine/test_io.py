"""Pickling, and the model file: bit-identical round trips (in another process too), and
damaged, hostile or newer files refused with ModelFileError before any large allocation."""

import copy
import io
import json
import pickle
import struct
import subprocess
import sys
import zipfile

import numpy as np
import pandas as pd
import pytest

import velkan_core
from velkan import GAM, GAMClassifier, GAMRegressor, ModelFileError, load, s


def models(rng):
    n = 600
    df = pd.DataFrame({"age": rng.uniform(20, 70, n), "doy": rng.uniform(0, 365, n),
                       "lat": rng.uniform(size=n), "lon": rng.uniform(size=n),
                       "region": rng.choice(["north", "south", "east"], n), "code": rng.choice([3, 7], n)})
    y = rng.poisson(np.exp(np.sin(df["age"] / 9) + np.cos(df["doy"] / 58) + 0.3 * (df["region"] == "east")))
    formula = "y ~ s(age, k=8) + s(doy, bs=cc, period=(0, 365)) + te(lat, lon, k=4, bs=(cr, ps)) + f(region) + f(code)"
    gam = GAM(formula, family="poisson").fit(df.assign(y=y.astype(float)))
    X = df[["age", "lat"]].to_numpy()
    reg = GAMRegressor(s(0, lam=2.0) + s(1), family="gamma").fit(X, y + 1.0)
    clf = GAMClassifier(k=5).fit(X, np.where(y > 2, "many", "few"))
    return [(gam, df), (reg, X), (clf, X)]


def saved(model):
    buf = io.BytesIO()
    model.save(buf)
    return buf.getvalue()


def outputs(model, X):
    if isinstance(model, GAMClassifier):
        return model.predict_proba(X)
    return np.column_stack(model.predict(X, return_std=True) + (model.confidence_intervals(X),))


def test_pickle_and_save_round_trips_are_bit_identical(rng):
    for model, X in models(rng):
        for copied in (pickle.loads(pickle.dumps(model)), load(io.BytesIO(saved(model)))):
            assert type(copied) is type(model) and repr(copied) == repr(model)
            np.testing.assert_array_equal(outputs(copied, X), outputs(model, X))
            if hasattr(model, "summary"):
                assert str(copied.summary()) == str(model.summary())
            for name in ("coef_", "lambda_", "edf_", "n_features_in_", "classes_", "feature_names_in_"):
                if hasattr(model, name):
                    np.testing.assert_array_equal(getattr(copied, name), getattr(model, name))


def test_another_process_predicts_the_same_bits(rng, tmp_path):
    model, df = models(rng)[0]
    model.save(tmp_path / "model.velkan")
    np.savez(tmp_path / "data.npz", **{c: df[c].to_numpy(dtype=str if c == "region" else None) for c in df})
    code = ("import numpy as np, sys, velkan; d = dict(np.load(sys.argv[1] + '/data.npz')); "
            "np.save(sys.argv[1] + '/out.npy', velkan.load(sys.argv[1] + '/model.velkan').predict(d))")
    subprocess.run([sys.executable, "-c", code, str(tmp_path)], check=True)
    np.testing.assert_array_equal(np.load(tmp_path / "out.npy"), model.predict(df))


def test_velkan_core_gam_refuses_pickling():
    gam = velkan_core.GAM("poisson")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(gam, protocol=protocol)
    with pytest.raises(TypeError, match="cannot pickle"):
        copy.copy(gam)


def rewrite(data, meta=None, arrays=None, compress=zipfile.ZIP_STORED):
    """The file with its metadata passed through `meta` and array members replaced."""
    src = zipfile.ZipFile(io.BytesIO(data))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as dst:
        for name in src.namelist():
            body = src.read(name)
            if name == "velkan-model.json" and meta is not None:
                doc = json.loads(body)
                text = meta(doc)
                body = (text if isinstance(text, str) else json.dumps(doc)).encode()
            key = name.removeprefix("arrays/").removesuffix(".npy")
            if arrays and key in arrays:
                body = arrays[key]
            dst.writestr(name, body, compress_type=compress)
    return out.getvalue()


def npy(array, shape=None):
    buf = io.BytesIO()
    np.lib.format.write_array(buf, array, allow_pickle=True)
    data = buf.getvalue()
    if shape is not None:  # the header claims another shape
        data = data.replace(repr(array.shape).encode(), repr(shape).encode().ljust(len(repr(array.shape))))
    return data


def tensor_bomb(doc):
    d = doc["design"]
    d["inputs"].append({"source": 0, "label": "age", "levels": None})
    c = len(d["inputs"]) - 1
    for _ in range(300):
        d["spec"].append({"kind": "smooth", "columns": [c, c], "margins": [["ps", 64, [0, 1]]] * 2})
        d["terms"].append({"label": "te", "kind": "smooth", "penalties": [], "sources": ["age", "age"]})
        d["lams"] += [None, None]


def smooth(doc):
    return next(t for t in doc["design"]["spec"] if t["kind"] == "smooth")


def region(doc):
    return doc["design"]["inputs"][4]["levels"]


def array(data, name):
    return np.load(io.BytesIO(zipfile.ZipFile(io.BytesIO(data)).read(f"arrays/{name}.npy")))


def changed(name, edit):
    """An array change: the saved array passed through `edit`."""
    def arrays(data):
        a = array(data, name).copy()
        edit(a)
        return {name: npy(a)}
    return arrays


HOSTILE = [  # how the file is changed, what the refusal says
    (dict(meta=lambda d: d.update(version=2)), "format version 2.*upgrade velkan"),
    (dict(meta=lambda d: d.update(format="zip")), "not a velkan model file"),
    (dict(meta=lambda d: smooth(d)["margins"][0].__setitem__(1, 10**9)), r"basis needs between \d+ and 4096 functions"),
    (dict(meta=lambda d: smooth(d)["margins"][0].__setitem__(2, [0.0])), "knots"),
    (dict(meta=lambda d: smooth(d)["margins"][0][2].__setitem__(0, float("nan"))), "finite"),
    (dict(meta=lambda d: d["design"]["spec"][-1].update(levels=7)), "reads a factor column with its 7 levels"),
    (dict(meta=lambda d: d["design"]["spec"][1].update(columns=[99])), r"columns must be an integer in \[0, "),
    (dict(meta=lambda d: d["fitted"].update(n_features=1)), "n_features"),
    (dict(meta=lambda d: d["fitted"].update(feature_names=["a"])), "feature_names"),
    (dict(meta=lambda d: d["params"].update(terms={"formula": "y ~ __import__('os').system('exit')"})),
     "unexpected character|unknown term"),
    (dict(meta=lambda d: d["params"].update(evil=1)), "unknown parameters"),
    (dict(meta=lambda d: d.update(estimator="Popen")), "unknown estimator"),
    (dict(meta=lambda d: json.dumps(d).replace('"params": ', '"params": ' + "[" * 10**5 + "]" * 10**5 + ', "p": ')),
     "RecursionError"),
    (dict(meta=tensor_bomb), "would take .* MiB"),
    (dict(arrays={"beta_raw": npy(np.zeros(3))}), "has shape"),
    (dict(arrays={"beta_raw": npy(np.array([1, "a"], dtype=object))}), "must be a float64"),
    (dict(arrays={"rug_0": npy(np.zeros(8), shape=(2**40,))}), "holds [0-9]+ bytes for 1099511627776 values"),
    (dict(compress=zipfile.ZIP_DEFLATED), "is compressed"),
    # Labels: a declared width the values do not fill is no licence to allocate it, and a
    # width they exceed would truncate them.
    (dict(meta=lambda d: region(d).update(dtype="<U2")), "a level of 5 characters does not fit"),
    (dict(meta=lambda d: d["design"]["inputs"][5]["levels"].update(values=[3.0, float("nan")])), "finite"),
    # Numbers in their domain, and derived arrays that follow from what the model reports.
    (dict(arrays=changed("beta_raw", lambda a: a.__setitem__(0, a[0] + 5))), "describe different models"),
    (dict(arrays=changed("beta_raw", lambda a: a.__setitem__(3, np.nan))), "'beta_raw' holds values that are not finite"),
    (dict(arrays=changed("beta", lambda a: a.__setitem__(3, np.nan))), "'beta' holds values that are not finite"),
    (dict(arrays=changed("edf", lambda a: a.__setitem__(slice(None), 2.0))), "sums to more degrees of freedom"),
    (dict(arrays=changed("rug_0", lambda a: a.__setitem__(0, np.inf))), "rug_0.*finite"),
    (dict(meta=lambda d: d["fitted"].update(scale=-1.0)), "must be non-negative"),
    (dict(meta=lambda d: d["fitted"].update(deviance=float("inf"))), "deviance is not finite"),
    (dict(meta=lambda d: d["params"].update(n_jobs=2**62)), "n_jobs must be an integer from 1 to"),
    (dict(meta=lambda d: d["params"].update(extrapolate="wildly")), "extrapolate must be one of"),
]


@pytest.mark.parametrize("change,message", HOSTILE)
def test_hostile_files_are_refused(rng, change, message):
    data = saved(models(rng)[0][0])
    change = dict(change)
    if callable(change.get("arrays")):
        change["arrays"] = change["arrays"](data)
    with pytest.raises(ModelFileError, match=message):
        load(io.BytesIO(rewrite(data, **change)))


def labels(n, width):
    return {"dtype": f"<U{width}", "values": [f"l{i}" for i in range(n)]}


def widest_te(doc):
    # A tensor product as wide as the file's size lets the engine layout be: built, then
    # refused for arrays of the wrong shape.
    d = doc["design"]
    te = next(t for t in d["spec"] if len(t.get("margins") or []) == 2)
    te["margins"] = [["ps", 22, [0.0, 1.0]], ["ps", 22, [0.0, 1.0]]]


# Files under 1 MB whose declared sizes would take gigabytes if believed: (model, change,
# loads). Those that load predict exactly as the model saved.
HUNGRY = [
    (0, lambda d: region(d).update(dtype="<U999999"), True),
    (2, lambda d: d["attributes"]["classes_"].update(dtype="<U999999"), True),
    (2, lambda d: d["attributes"].update(classes_=labels(300, 999999)), True),
    (0, lambda d: region(d).update(labels(20000, 256)), False),
    (0, widest_te, False),
]


def peak_memory_growth(call):
    """Bytes the resident set grows by at its peak during call() (Linux)."""
    def status(key):
        with open("/proc/self/status") as fh:
            return next(int(line.split()[1]) * 1024 for line in fh if line.startswith(key))
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")  # resets the peak to the current resident set
    before = status("VmRSS:")
    call()
    return status("VmHWM:") - before


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the peak resident set from /proc")
@pytest.mark.parametrize("which,change,loads", HUNGRY)
def test_hungry_files_take_bounded_memory(rng, which, change, loads):
    model, X = models(rng)[which]
    data = rewrite(saved(model), meta=change)
    assert len(data) < 2**20
    result = {}

    def read_and_predict():
        try:
            result["model"] = copy = load(io.BytesIO(data))
            result["out"] = copy.predict_proba(X[:800]) if hasattr(copy, "classes_") else copy.predict(X[:800])
        except ModelFileError as e:
            result["error"] = e
    assert peak_memory_growth(read_and_predict) < 100 * 2**20
    assert ("error" not in result) == loads, result.get("error")
    if loads:
        expected = model.predict_proba(X[:800]) if hasattr(model, "classes_") else model.predict(X[:800])
        np.testing.assert_array_equal(result["out"], expected)


def flag_set(data, flag):
    """The file with a general-purpose flag bit set in its first central directory entry."""
    out = bytearray(data)
    at = out.find(b"PK\x01\x02") + 8
    struct.pack_into("<H", out, at, struct.unpack_from("<H", out, at)[0] | flag)
    return bytes(out)


def test_damaged_files_are_refused_or_read_intact(rng):
    model, df = models(rng)[0]
    data = saved(model)
    # A member claiming encryption or patched data, which zipfile refuses with exceptions of
    # its own (RuntimeError, NotImplementedError).
    for flag in (0x1, 0x20):
        with pytest.raises(ModelFileError):
            load(io.BytesIO(flag_set(data, flag)))
    for end in range(0, len(data), len(data) // 40):
        with pytest.raises(ModelFileError):
            load(io.BytesIO(data[:end]))
    for at in rng.choice(len(data), 60, replace=False):
        damaged = bytearray(data)
        damaged[at] ^= 0x5A
        try:
            copied = load(io.BytesIO(bytes(damaged)))
        except ModelFileError:
            continue
        np.testing.assert_array_equal(copied.predict(df), model.predict(df))


def test_a_failed_save_keeps_the_earlier_file(rng, tmp_path):
    model, _ = models(rng)[0]
    path = tmp_path / "model.velkan"
    model.save(path)
    before = path.read_bytes()
    dates = pd.DataFrame({"x": rng.uniform(size=50), "d": pd.to_datetime(["2024-01-01", "2024-02-01"] * 25)})
    unsavable = GAM("s(x) + f(d)").fit(dates, rng.normal(size=50))
    for bad in (GAM(), unsavable):
        with pytest.raises((ValueError, TypeError), match="not fitted|cannot be written"):
            bad.save(path)
    assert path.read_bytes() == before and [p.name for p in tmp_path.iterdir()] == ["model.velkan"]


def test_files_of_an_earlier_version_load_and_predict_identically():
    # Written by velkan 0.2.0 (before the family table and the typed term specs): every
    # term kind, weights, a classifier's labels.
    import json
    import pathlib
    here = pathlib.Path(__file__).parent / "data"
    expected = json.loads((here / "v1_predictions.json").read_text())
    X = np.array(expected["X"])
    gam = load(here / "poisson_terms_v1.velkan")
    np.testing.assert_array_equal(gam.predict(X), expected["gam"])
    # Standard errors have since integrated the estimated smoothing parameters out instead
    # of expanding about them to first order: near, mostly wider.
    ratio = gam.predict(X, return_std=True)[1] / np.array(expected["gam_se"])
    assert np.all(ratio > 0.95) and np.all(ratio < 1.2) and np.median(ratio) > 1.0
    clf = load(here / "classifier_v1.velkan")
    np.testing.assert_array_equal(clf.predict_proba(X[:, :2])[:, 1], expected["clf"])
    assert list(clf.classes_) == ["no", "yes"] and "s(1, k=8, bs='cr')" in str(gam.summary())
