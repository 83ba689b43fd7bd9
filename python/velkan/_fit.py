"""Penalized IRLS by performance iteration, over passes that reduce the rows to cross
products.

Each iteration makes one pass over the rows (working weights and response at the current
coefficients, reduced to X'WX and X'Wt by the engine), then chooses the smoothing
parameters on those p x p products alone (the engine's Newton search, warm-started from
the previous iteration). A step that raises the penalized deviance is halved toward the
previous coefficients. Gaussian fits need one pass.

The loop does not know where the rows come from: it calls `run_pass(layout, beta0,
from_response, column_sums)`, which returns the pass's sums (a dict, see
`velkan._engine.accumulate`); sums over separate chunks of rows add up (`add_sums`).
"""

from __future__ import annotations

import math
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator

import numpy as np

from . import _engine
from ._design import Design, InputColumn, TermInfo
from ._families import SCALE_ESTIMATED

# Step halvings tried when a penalized IRLS step raises the penalized deviance.
MAX_HALVINGS = 30
# Newton iterations of one smoothing-parameter search, and its gradient tolerance.
SEARCH_ITERATIONS = 200
SEARCH_TOLERANCE = 1e-6

# Mean binomial deviance per row below which every row is fitted exactly (separation).
SEPARATION_DEVIANCE = 1e-8

PassFn = Callable[[Any, np.ndarray, bool, bool], dict]

# Pass sums that only a first pass collects (see velkan._engine.accumulate).
RESPONSE_SUMS = ("response_sum", "residual_sum", "residual_square_sum", "saturated_sum",
                 "log_normaliser", "offset_rows")


class ConvergenceWarning(RuntimeWarning):
    """A fit stopped before its convergence criterion was met; results are kept."""


def add_sums(a: dict | None, b: dict) -> dict:
    """The sums of two passes over different rows."""
    if a is None:
        return dict(b)
    out = {}
    for key, value in a.items():
        if key == "finite":
            out[key] = value and b[key]
        else:
            out[key] = value + b[key]
    return out


class PassProgress:
    """Reports the passes of a streamed fit when `verbose`: a progress bar over each pass's
    rows when tqdm is installed, else one line when a pass ends."""

    def __init__(self, verbose: bool) -> None:
        self.verbose = verbose
        self.passes = 0

    def track(self, chunks: Iterable[Any], rows: int | None, what: str) -> Iterator[Any]:
        """Yields the chunks of one pass (each with `.rows`), reporting as they are used."""
        self.passes += 1
        if not self.verbose:
            yield from chunks
            return
        label = f"pass {self.passes} ({what})"
        bar = _progress_bar(rows, label)
        start, seen = time.perf_counter(), 0
        try:
            for chunk in chunks:
                yield chunk
                seen += chunk.rows
                if bar is not None:
                    bar.update(chunk.rows)
        finally:
            if bar is not None:
                bar.close()
        if bar is None:
            self.report(label, seen, time.perf_counter() - start)

    def finished(self, what: str, rows: int | None, seconds: float) -> None:
        """Reports a pass that ran elsewhere (on a cluster) as one line."""
        self.passes += 1
        if self.verbose:
            self.report(f"pass {self.passes} ({what})", rows, seconds)

    def report(self, label: str, rows: int | None, seconds: float) -> None:
        print(f"{label}: {rows} rows in {seconds:.3f} s", flush=True)


def _progress_bar(rows: int | None, label: str) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=rows, desc=label, unit=" rows", unit_scale=True, leave=True)


@dataclass
class Fitted:
    """Everything a fitted model keeps: plain data, enough to rebuild the engine layout."""

    family: str
    method: str
    design: Design
    column_sums: np.ndarray     # raw design column sums: the centring constraints
    beta_raw: np.ndarray        # coefficients of the raw design (prediction)
    beta: np.ndarray            # coefficients of the centred parameterisation
    rho: np.ndarray             # log smoothing parameters, one per penalty
    scale: float
    xtwx: np.ndarray            # X'WX at the final weights, centred parameterisation
    edf: np.ndarray             # effective degrees of freedom per coefficient
    score: float                # criterion at the optimum
    deviance: float
    pearson: float
    rows: float                 # rows with positive weight
    weight_sum: float
    n_features: int
    converged: bool = True
    n_iter: int = 0
    passes: int = 0
    search_exit: str = ""
    undetermined: list[int] = field(default_factory=list)
    feature_names: list | None = None
    layout: Any = None          # the engine layout, rebuilt from the design on demand
    ridge: np.ndarray | None = None   # identifiability ridge of the final step (None: none)
    rho_hessian: np.ndarray | None = None  # Hessian of the criterion in rho at the optimum
    # Sums of the response alone from the first pass (RESPONSE_SUMS), for the null
    # deviance and the log-likelihood.
    response_sums: dict = field(default_factory=dict)
    inference: Any = field(default=None, repr=False)  # covariances, computed on demand

    def engine_layout(self) -> Any:
        if self.layout is None:
            self.layout = _engine.Layout(self.design.spec).centred(self.column_sums)
        return self.layout

    @property
    def terms(self) -> list[TermInfo]:
        return self.design.terms

    @property
    def inputs(self) -> list[InputColumn]:
        return self.design.inputs


def fit_loop(design: Design, run_pass: PassFn, *, family: str, method: str, start_level: float | None,
             max_iter: int, tol: float, verbose: bool, n_features: int) -> Fitted:
    """Fits the model; `start_level` is the intercept to start from (None: no intercept)."""
    layout = _engine.Layout(design.spec)
    n_pen = len(layout.penalty_terms)
    rho = np.full(n_pen, np.nan)
    free = [True] * n_pen
    for i, lam in enumerate(design.lams):
        if lam is not None:
            rho[i] = math.log(lam)
            free[i] = False
    known_scale = math.nan if family in SCALE_ESTIMATED else 1.0

    beta0 = np.zeros(layout.width)
    if start_level is not None:
        beta0[0] = start_level
    t0 = time.perf_counter()
    sums = run_pass(layout, beta0, True, True)
    if not sums["finite"]:
        raise ValueError("the starting linear predictor is not finite; check y, sample_weight and offset")
    column_sums = np.asarray(sums["column_sums"])
    response_sums = {key: float(sums[key]) for key in RESPONSE_SUMS if key in sums}
    layout = layout.centred(column_sums)

    def log(it: int, step: dict, deviance: float) -> None:
        if verbose:
            print(f"iteration {it}: {method} {step['score']:.8g}  deviance {deviance:.8g}  "
                  f"lambda {np.array2string(np.exp(step['rho']), precision=4)}  "
                  f"{time.perf_counter() - t0:.3f} s", flush=True)

    beta_prev: np.ndarray | None = None
    dev_prev = math.nan
    converged = False
    search_ok = True
    last_exit = ""
    passes = 1
    n_iter = 0
    step: dict = {}
    for it in range(max_iter):
        n_iter = it + 1
        step = _engine.fit_step(layout, sums, beta0, rho, free, method, known_scale,
                                SEARCH_ITERATIONS, SEARCH_TOLERANCE)
        last_exit = step["exit"]
        search_ok = last_exit in ("converged", "no free parameters", "exact fit")
        rho = step["rho"]
        beta_new = step["beta_raw"]
        if family == "gaussian":
            log(n_iter, step, step["deviance"])
            converged = True
            break
        lam = np.exp(rho)
        new_sums = run_pass(layout, beta_new, False, False)
        passes += 1
        pen_new = new_sums["deviance"] + layout.penalty_quadratic(beta_new, lam)
        change = math.inf
        if beta_prev is not None:
            pen_old = dev_prev + layout.penalty_quadratic(beta_prev, lam)
            halvings = 0
            while not (new_sums["finite"] and math.isfinite(pen_new)
                       and pen_new <= pen_old + 1e-7 * abs(pen_old)):
                if halvings == MAX_HALVINGS:
                    break
                beta_new = 0.5 * (beta_prev + beta_new)
                new_sums = run_pass(layout, beta_new, False, False)
                passes += 1
                pen_new = new_sums["deviance"] + layout.penalty_quadratic(beta_new, lam)
                halvings += 1
            if halvings == MAX_HALVINGS:
                # No step toward the new coefficients lowers the penalized deviance: the
                # previous ones stand (their pass is the current expansion point).
                break
            change = abs(pen_new - pen_old) / (0.1 + abs(pen_new))
        log(n_iter, step, new_sums["deviance"])
        beta_prev, dev_prev = beta_new, new_sums["deviance"]
        sums, beta0 = new_sums, beta_new
        if change < tol:
            converged = True
            break
    if family != "gaussian":
        # Coefficients, X'WX and edf at the final expansion point and smoothing parameters.
        step = _engine.fit_step(layout, sums, beta0, rho, [False] * n_pen, method, known_scale,
                                1, SEARCH_TOLERANCE)
    if not converged:
        warnings.warn(f"penalized IRLS did not converge in {max_iter} iterations; the results "
                      "are those of the last iteration", ConvergenceWarning, stacklevel=4)
    if not search_ok:
        warnings.warn(f"the smoothing-parameter search stopped before converging ({last_exit})",
                      ConvergenceWarning, stacklevel=4)
    if family == "binomial" and float(sums["deviance"]) <= SEPARATION_DEVIANCE * max(float(sums["rows"]), 1.0):
        warnings.warn("the fitted probabilities are numerically 0 or 1 at every row: the classes "
                      "are separated perfectly, and the coefficients have no finite maximum",
                      ConvergenceWarning, stacklevel=4)
    if step["undetermined"]:
        warnings.warn(f"{len(step['undetermined'])} coefficient direction(s) are not determined by "
                      "the data (aliased terms?); they were held near zero", ConvergenceWarning,
                      stacklevel=4)
    if family == "gaussian":
        # The single pass was made at the starting level: its deviance is the null model's;
        # the fitted model's is the working deviance at the solution (exact for gaussian).
        deviance = pearson = float(step["deviance"])
    else:
        deviance, pearson = float(sums["deviance"]), float(sums["pearson"])
    return Fitted(family=family, method=method, design=design, column_sums=column_sums,
                  beta_raw=step["beta_raw"], beta=step["beta"], rho=np.asarray(rho, dtype=float),
                  scale=float(step["scale"]), xtwx=step["xtwx"], edf=step["edf_per_coefficient"],
                  score=float(step["score"]), deviance=deviance,
                  pearson=pearson, rows=float(sums["rows"]),
                  weight_sum=float(sums["weight_sum"]), n_features=n_features,
                  converged=converged and search_ok, n_iter=n_iter, passes=passes,
                  search_exit=last_exit, undetermined=list(step["undetermined"]), layout=layout,
                  ridge=np.asarray(step["ridge"]) if len(step["ridge"]) else None,
                  rho_hessian=np.asarray(step["hessian"]) if len(step["hessian"]) == n_pen else None,
                  response_sums=response_sums)
