"""Reading hostile model files: time and peak memory of `velkan.load` (and of predicting
600 rows with what loads) for files whose declared sizes, widths and counts would take
gigabytes if believed, against the floor of one read of the file's bytes.

    python benchmarks/bench_model_files.py

Prints one row per file: its size, the outcome, the best of three wall times and its ratio
to the floor, and the growth of the resident set at its peak (Linux). The files are
written to a temporary directory, which is removed at the end.
"""

from __future__ import annotations

import io
import json
import os
import shutil
import sys
import tempfile
import time
import warnings
import zipfile

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from measure import best_seconds, reset_peak, status_kib  # noqa: E402

import velkan  # noqa: E402
from velkan import GAM, GAMClassifier  # noqa: E402

ROWS = 600


def models() -> dict[str, tuple[object, object]]:
    rng = np.random.default_rng(0)
    n = 600
    data = {"age": rng.uniform(20, 70, n), "lat": rng.uniform(size=n), "lon": rng.uniform(size=n),
            "region": rng.choice(["north", "south", "east"], n)}
    y = rng.poisson(np.exp(np.sin(data["age"] / 9) + 0.3 * (data["region"] == "east"))).astype(float)
    gam = GAM("y ~ s(age, k=8) + te(lat, lon, k=4) + f(region)", family="poisson").fit({**data, "y": y})
    X = np.column_stack([data["age"], data["lat"]])
    clf = GAMClassifier(k=5).fit(X, np.where(y > 2, "many", "few"))
    return {"gam": (gam, data), "classifier": (clf, X)}


def rewrite(data: bytes, change) -> bytes:
    src = zipfile.ZipFile(io.BytesIO(data))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as dst:
        for name in src.namelist():
            body = src.read(name)
            if name == "velkan-model.json":
                doc = json.loads(body)
                text = change(doc)
                body = (text if isinstance(text, str) else json.dumps(doc)).encode()
            dst.writestr(name, body)
    return out.getvalue()


def region(doc):
    return next(i["levels"] for i in doc["design"]["inputs"] if i["levels"] is not None)


def tensor_bomb(doc):
    d = doc["design"]
    for _ in range(300):
        d["spec"].append({"kind": "smooth", "columns": [1, 2], "margins": [["ps", 64, [0, 1]]] * 2})
        d["terms"].append({"label": "te", "kind": "smooth", "penalties": [], "sources": ["lat", "lon"]})
        d["lams"] += [None, None]


def widest_te(doc):
    te = next(t for t in doc["design"]["spec"] if len(t.get("margins") or []) == 2)
    te["margins"] = [["ps", 22, [0.0, 1.0]], ["ps", 22, [0.0, 1.0]]]


def labels(n, width):
    return {"dtype": f"<U{width}", "values": [f"l{i}" for i in range(n)]}


CASES = [  # name, model, change of its metadata (None: as saved)
    ("as saved", "gam", None),
    ("factor levels declared <U999999", "gam", lambda d: region(d).update(dtype="<U999999")),
    ("classes declared <U999999", "classifier", lambda d: d["attributes"]["classes_"].update(dtype="<U999999")),
    ("300 classes declared <U999999", "classifier", lambda d: d["attributes"].update(classes_=labels(300, 999999))),
    ("20000 levels declared <U256", "gam", lambda d: region(d).update(labels(20000, 256))),
    ("300 tensor products of 64 x 64", "gam", tensor_bomb),
    ("a tensor product of 22 x 22", "gam", widest_te),
    ("JSON nested 100000 deep", "gam",
     lambda d: json.dumps(d).replace('"params": ', '"params": ' + "[" * 10**5 + "]" * 10**5 + ', "p": ')),
    ("raw intercept changed by 5", "gam", None),
]


def measure_one(path: str, rows_path: str) -> None:
    """In a process of its own: load the file, predict ROWS rows, print the outcome, the
    best of three wall times and the peak growth of the resident set (MB)."""
    rows = np.load(rows_path, allow_pickle=False)
    rows = {name: rows[name] for name in rows.dtype.names} if rows.dtype.names else rows
    outcome = {}

    def run():
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                loaded = velkan.load(path)
                (loaded.predict_proba if hasattr(loaded, "classes_") else loaded.predict)(rows)
            outcome["text"] = "loads, predicts"
        except velkan.ModelFileError as e:
            outcome["text"] = "refused: " + str(e).split(": ", 1)[1][:48]
        except Exception as e:  # noqa: BLE001 - reported, as an earlier velkan may fail so
            outcome["text"] = f"fails: {type(e).__name__}: {str(e)[:40]}"
    reset_peak()
    before = status_kib("VmRSS")
    run()
    peak = (status_kib("VmHWM") - before) / 1024
    seconds, _ = best_seconds(run, 3)
    print(json.dumps([outcome["text"], seconds, peak]))


def rows_file(X, path: str) -> str:
    if isinstance(X, dict):
        names = list(X)
        table = np.empty(ROWS, dtype=[(n, np.asarray(X[n]).dtype) for n in names])
        for n in names:
            table[n] = np.asarray(X[n])[:ROWS]
        np.save(path, table)
    else:
        np.save(path, X[:ROWS])
    return path


def main() -> None:
    import subprocess
    fitted = models()
    tmp = tempfile.mkdtemp(prefix="velkan-bench-")
    try:
        print(f"velkan {velkan.__version__}; floor: one read of the file's bytes; memory: growth of the "
              "resident set at its peak in a fresh process\n")
        print("| file | bytes | outcome | load + predict (ms) | / floor | peak memory (MB) |")
        print("|---|---|---|---|---|---|")
        for name, which, change in CASES:
            model, X = fitted[which]
            buf = io.BytesIO()
            model.save(buf)
            data = buf.getvalue() if change is None else rewrite(buf.getvalue(), change)
            if name.startswith("raw intercept"):
                data = shift_intercept(data)
            path = os.path.join(tmp, "model.velkan")
            with open(path, "wb") as fh:
                fh.write(data)
            floor, _ = best_seconds(lambda: open(path, "rb").read(), 3)
            rows = rows_file(X, os.path.join(tmp, "rows.npy"))
            out = subprocess.run([sys.executable, __file__, "--one", path, rows], capture_output=True,
                                 text=True, check=True).stdout
            text, seconds, peak = json.loads(out.strip().splitlines()[-1])
            print(f"| {name} | {len(data)} | {text} | {1e3 * seconds:.1f} | {seconds / floor:.0f} | {peak:.1f} |")
    finally:
        shutil.rmtree(tmp)


def shift_intercept(data: bytes) -> bytes:
    src = zipfile.ZipFile(io.BytesIO(data))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as dst:
        for name in src.namelist():
            body = src.read(name)
            if name == "arrays/beta_raw.npy":
                a = np.load(io.BytesIO(body))
                a[0] += 5
                b = io.BytesIO()
                np.save(b, a)
                body = b.getvalue()
            dst.writestr(name, body)
    return out.getvalue()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--one":
        measure_one(sys.argv[2], sys.argv[3])
    else:
        main()
