"""Penalized IRLS by performance iteration, over passes that reduce the rows to cross
products.

Each iteration makes one pass over the rows (working weights and response at the current
coefficients, reduced to X'WX and X'Wt by the engine), then chooses the smoothing
parameters on those p x p products alone (the engine's Newton search, warm-started from
the previous iteration). A step that raises the penalized deviance is halved toward the
previous coefficients. A model whose working weights do not depend on the coefficients
(normal errors, identity link) needs one pass.

The loop does not know where the rows come from: it calls `run_pass(layout, beta0,
from_response, column_sums)`, which returns the pass's sums (`velkan._engine.PassSums`);
sums over separate chunks of rows add up with `+`.
"""

from __future__ import annotations

import functools
import math
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator

import numpy as np

from . import _engine
from ._design import Design, InputColumn, TermInfo
from ._families import Family, family_from_fit

# Step halvings tried when a penalized IRLS step raises the penalized deviance.
MAX_HALVINGS = 30
# Newton iterations of one smoothing-parameter search, and its gradient tolerance.
SEARCH_ITERATIONS = 200
SEARCH_TOLERANCE = 1e-6

# Mean deviance per row below which every row counts as fitted exactly (for a family whose
# table entry has a warning for that, such as perfect separation of binary classes).
EXACT_FIT_DEVIANCE = 1e-8

PassFn = Callable[[Any, np.ndarray, bool, bool], Any]

# Sums of the response alone that a first pass collects and a fitted model keeps.
RESPONSE_SUMS = ("response_sum", "residual_sum", "residual_square_sum", "saturated_sum",
                 "log_normaliser", "offset_rows")


class ConvergenceWarning(RuntimeWarning):
    """A fit stopped before its convergence criterion was met; results are kept."""


def add_sums(a: Any, b: Any) -> Any:
    """The sums of two passes over different rows (`a` None: the first chunk's)."""
    return b if a is None else a + b


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

    family: str                 # the family's name in the engine's table
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
    rho_gradient: np.ndarray | None = None  # its gradient there
    # Sums of the response alone from the first pass (RESPONSE_SUMS), for the null
    # deviance and the log-likelihood.
    response_sums: dict = field(default_factory=dict)
    inference: Any = field(default=None, repr=False)  # covariances, computed on demand
    link: str | None = None     # the family's link (None: its default)
    family_parameters: dict | None = None  # values of the family's parameters, if any
    # Shape-constrained fits: the basis N of the subspace the active constraints leave
    # (coefficients x its dimension); None when none is active.
    constraint_basis: np.ndarray | None = None

    def engine_layout(self) -> Any:
        if self.layout is None:
            self.layout = _engine.Layout(self.design.spec).centred(self.column_sums)
        return self.layout

    @functools.cached_property
    def family_object(self) -> Family:
        return family_from_fit(self.family, self.link, self.family_parameters)

    @property
    def model(self) -> Any:
        """The engine's response model of the fit."""
        return self.family_object.model

    @property
    def terms(self) -> list[TermInfo]:
        return self.design.terms

    @property
    def inputs(self) -> list[InputColumn]:
        return self.design.inputs


class PirlsLoop:
    """Penalized IRLS of one model over `run_pass`'s passes: `run` makes the first pass,
    then alternates `search` (smoothing parameters on the current pass's sums) and `advance`
    (a pass at the new coefficients, halved back while it raises the penalized deviance)
    until the penalized deviance settles, and `finish` collects the fitted model."""

    def __init__(self, design: Design, run_pass: PassFn, *, family: Family, method: str,
                 start_level: float | None, max_iter: int, tol: float, verbose: bool,
                 n_features: int) -> None:
        self.design, self.run_pass, self.family, self.method = design, run_pass, family, method
        self.model = family.model
        self.max_iter, self.tol, self.verbose, self.n_features = max_iter, tol, verbose, n_features
        self.layout = _engine.Layout(design.spec)
        n_pen = len(self.layout.penalty_terms)
        self.rho = np.full(n_pen, np.nan)
        self.free = [True] * n_pen
        for i, lam in enumerate(design.lams):
            if lam is not None:
                self.rho[i] = math.log(lam)
                self.free[i] = False
        self.known_scale = math.nan if self.model.info.scale_estimated else 1.0
        self.beta0 = np.zeros(self.layout.width)
        if start_level is not None:
            self.beta0[0] = start_level
        self.beta_prev: np.ndarray | None = None
        self.dev_prev = math.nan
        self.converged = False
        self.passes = 0
        self.n_iter = 0
        self.started = time.perf_counter()

    def run(self) -> Fitted:
        self.first_pass()
        step = None
        for it in range(self.max_iter):
            self.n_iter = it + 1
            step = self.search()
            if self.model.linear:
                self.log(step, step.deviance)
                self.converged = True
                break
            if self.advance(step):
                break
        assert step is not None
        return self.finish(step)

    def first_pass(self) -> None:
        self.sums = self.run_pass(self.layout, self.beta0, True, True)
        self.passes = 1
        if not self.sums.finite:
            raise ValueError("the starting linear predictor is not finite; check y, sample_weight and offset")
        self.column_sums = np.asarray(self.sums.column_sums)
        self.response_sums = {key: float(getattr(self.sums.response, key)) for key in RESPONSE_SUMS}
        self.layout = self.layout.centred(self.column_sums)

    def search(self, iterations: int = SEARCH_ITERATIONS, free: list[bool] | None = None) -> Any:
        """The smoothing-parameter search on the current pass's sums (warm-started)."""
        step = _engine.fit_step(self.layout, self.sums, self.beta0, self.rho,
                                self.free if free is None else free, self.method, self.known_scale,
                                iterations, SEARCH_TOLERANCE)
        self.last_exit, self.search_ok = step.exit, step.converged
        self.rho = step.rho
        return step

    def penalized(self, sums: Any, beta: np.ndarray) -> float:
        return sums.deviance + self.layout.penalty_quadratic(beta, np.exp(self.rho))

    def advance(self, step: Any) -> bool:
        """One pass at the step's coefficients, halved toward the previous ones while that
        raises the penalized deviance; True when the fit has converged or cannot improve."""
        beta_new = step.beta_raw
        new_sums = self.pass_at(beta_new)
        pen_new = self.penalized(new_sums, beta_new)
        change = math.inf
        if self.beta_prev is not None:
            pen_old = self.penalized_previous()
            halved = self.halve(beta_new, new_sums, pen_new, pen_old)
            if halved is None:
                # No step toward the new coefficients lowers the penalized deviance: the
                # previous ones stand (their pass is the current expansion point).
                return True
            beta_new, new_sums, pen_new = halved
            change = abs(pen_new - pen_old) / (0.1 + abs(pen_new))
        self.log(step, new_sums.deviance)
        self.beta_prev, self.dev_prev = beta_new, new_sums.deviance
        self.sums, self.beta0 = new_sums, beta_new
        if change < self.tol:
            self.converged = True
            return True
        return False

    def penalized_previous(self) -> float:
        assert self.beta_prev is not None
        return self.dev_prev + self.layout.penalty_quadratic(self.beta_prev, np.exp(self.rho))

    def halve(self, beta_new: np.ndarray, new_sums: Any, pen_new: float,
              pen_old: float) -> tuple[np.ndarray, Any, float] | None:
        """Halves the step toward beta_prev until the pass is finite and does not raise the
        penalized deviance; None when MAX_HALVINGS do not get there."""
        halvings = 0
        while not (new_sums.finite and math.isfinite(pen_new)
                   and pen_new <= pen_old + 1e-7 * abs(pen_old)):
            if halvings == MAX_HALVINGS:
                break
            beta_new = 0.5 * (self.beta_prev + beta_new)
            new_sums = self.pass_at(beta_new)
            pen_new = self.penalized(new_sums, beta_new)
            halvings += 1
        return None if halvings == MAX_HALVINGS else (beta_new, new_sums, pen_new)

    def pass_at(self, beta: np.ndarray) -> Any:
        self.passes += 1
        return self.run_pass(self.layout, beta, False, False)

    def log(self, step: Any, deviance: float) -> None:
        if self.verbose:
            print(f"iteration {self.n_iter}: {self.method} {step.score:.8g}  deviance {deviance:.8g}  "
                  f"lambda {np.array2string(np.exp(step.rho), precision=4)}  "
                  f"{time.perf_counter() - self.started:.3f} s", flush=True)

    def finish(self, step: Any) -> Fitted:
        if not self.model.linear:
            # Coefficients, X'WX and edf at the final expansion point and smoothing parameters.
            exit_, ok = self.last_exit, self.search_ok
            step = self.search(1, [False] * len(self.free))
            self.last_exit, self.search_ok = exit_, ok
        self.warn(step)
        if self.model.linear:
            # The single pass was made at the starting level: its deviance is the null model's;
            # the fitted model's is the working deviance at the solution (exact here).
            deviance = pearson = float(step.deviance)
        else:
            deviance, pearson = float(self.sums.deviance), float(self.sums.pearson)
        n_pen = len(self.free)
        hessian = step.hessian
        return Fitted(family=self.family.name, link=self.family.link,
                      family_parameters=self.family.parameters or None, method=self.method,
                      design=self.design, column_sums=self.column_sums, beta_raw=step.beta_raw,
                      beta=step.beta, rho=np.asarray(self.rho, dtype=float), scale=float(step.scale),
                      xtwx=step.xtwx, edf=step.edf, score=float(step.score), deviance=deviance,
                      pearson=pearson, rows=float(self.sums.rows),
                      weight_sum=float(self.sums.weight_sum), n_features=self.n_features,
                      converged=self.converged and self.search_ok, n_iter=self.n_iter,
                      passes=self.passes, search_exit=self.last_exit,
                      undetermined=list(step.undetermined), layout=self.layout,
                      ridge=step.ridge if len(step.ridge) else None,
                      rho_hessian=hessian if hessian.shape == (n_pen, n_pen) and n_pen else None,
                      rho_gradient=step.gradient if step.gradient.shape == (n_pen,) and n_pen else None,
                      response_sums=self.response_sums,
                      constraint_basis=step.constraint_basis if step.constraint_basis.size else None)

    def warn(self, step: Any) -> None:
        if not self.converged:
            warnings.warn(f"penalized IRLS did not converge in {self.max_iter} iterations; the results "
                          "are those of the last iteration", ConvergenceWarning, stacklevel=7)
        if not self.search_ok:
            warnings.warn(f"the smoothing-parameter search stopped before converging ({self.last_exit})",
                          ConvergenceWarning, stacklevel=7)
        message = self.model.info.exact_fit_warning
        if message and float(self.sums.deviance) <= EXACT_FIT_DEVIANCE * max(float(self.sums.rows), 1.0):
            warnings.warn(message, ConvergenceWarning, stacklevel=7)
        if step.undetermined:
            warnings.warn(f"{len(step.undetermined)} coefficient direction(s) are not determined by "
                          "the data (aliased terms?); they were held near zero", ConvergenceWarning,
                          stacklevel=7)


def fit_loop(design: Design, run_pass: PassFn, *, family: Family, method: str,
             start_level: float | None, max_iter: int, tol: float, verbose: bool,
             n_features: int) -> Fitted:
    """Fits the model; `start_level` is the intercept to start from (None: no intercept)."""
    return PirlsLoop(design, run_pass, family=family, method=method, start_level=start_level,
                     max_iter=max_iter, tol=tol, verbose=verbose, n_features=n_features).run()
