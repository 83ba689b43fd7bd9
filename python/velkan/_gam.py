"""The GAM estimator of the modelling engine."""

from __future__ import annotations

import math
import os
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Sequence

import numpy as np

from . import _engine
from ._families import (SCALE_ESTIMATED, check_family, check_support, inverse_link,
                        starting_level)
from ._terms import FactorTerm, LinearTerm, SmoothTerm, Term, TermList, as_terms, s

METHODS = ("REML", "GCV", "UBRE")
# A column whose range is below this fraction of its magnitude cannot carry a smooth: the
# basis could not tell its values apart.
_RESOLUTION = 1e-12
# Step halvings tried when a penalized IRLS step raises the penalized deviance.
_MAX_HALVINGS = 30


class ConvergenceWarning(RuntimeWarning):
    """A fit stopped before its convergence criterion was met; results are kept."""


@dataclass
class _InputColumn:
    """How one engine input column is made from the user's data."""

    source: Any                 # index (or name) of the user's column
    levels: np.ndarray | None = None  # factor levels (codes are positions in it)


@dataclass
class _TermInfo:
    label: str
    kind: str                   # "intercept", "linear", "factor", "smooth"
    penalties: list[int] = field(default_factory=list)
    levels: np.ndarray | None = None


@dataclass
class _Fitted:
    """Everything a fitted model keeps: plain data, enough to rebuild the engine layout."""

    family: str
    method: str
    spec: list[dict]
    inputs: list[_InputColumn]
    column_sums: np.ndarray
    terms: list[_TermInfo]
    beta_raw: np.ndarray
    beta: np.ndarray
    rho: np.ndarray
    scale: float
    xtwx: np.ndarray            # X'WX at the final weights, centred parameterisation
    edf: np.ndarray             # per coefficient
    score: float
    deviance: float
    n_features: int
    rows: float
    layout: Any = None          # the engine layout, rebuilt from spec on demand

    def engine_layout(self) -> Any:
        if self.layout is None:
            self.layout = _engine.Layout(self.spec).centred(self.column_sums)
        return self.layout


def _as_2d(X: Any, name: str = "X") -> np.ndarray:
    if isinstance(X, np.ma.MaskedArray):
        raise TypeError(f"{name} is a masked array; fill or drop the masked values first")
    arr = np.asarray(X)
    if arr.ndim == 1:
        arr = arr.reshape(-1, 1)
    if arr.ndim != 2:
        raise ValueError(f"{name} must be two-dimensional (rows x columns), got {arr.ndim} dimensions")
    if arr.shape[0] == 0:
        raise ValueError(f"{name} has no rows")
    return arr


def _as_vector(v: Any, n: int, name: str, *, allow_none: bool = True) -> np.ndarray | None:
    if v is None:
        if allow_none:
            return None
        raise ValueError(f"{name} is required")
    if isinstance(v, np.ma.MaskedArray):
        raise TypeError(f"{name} is a masked array; fill or drop the masked values first")
    try:
        arr = np.asarray(v, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise ValueError(f"{name} must be numeric: {e}") from None
    if arr.ndim == 0:
        arr = np.full(n, float(arr))
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"{name} must have one value per row ({n}), got shape {arr.shape}")
    bad = ~np.isfinite(arr)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{name} contains NaN or infinite values (first at row {i})")
    return arr


def _numeric_column(X: np.ndarray, j: int, what: str) -> np.ndarray:
    col = X[:, j]
    if col.dtype != np.float64:
        try:
            col = col.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{what}: column {j} is not numeric; use f({j}) for a categorical column") from None
    bad = ~np.isfinite(col)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"X contains NaN or infinite values (column {j}, row {i})")
    return col


def _levels_of(col: np.ndarray, j: int) -> np.ndarray:
    if col.dtype.kind == "f" and not np.isfinite(col).all():
        i = int(np.argmax(~np.isfinite(col)))
        raise ValueError(f"X contains NaN or infinite values (column {j}, row {i})")
    try:
        return np.unique(col)
    except TypeError:
        raise ValueError(f"f({j}): the values of column {j} cannot be ordered (mixed types)") from None


def _codes(col: np.ndarray, levels: np.ndarray, j: Any) -> np.ndarray:
    pos = np.searchsorted(levels, col)
    pos = np.clip(pos, 0, len(levels) - 1)
    unseen = levels[pos] != col
    if np.any(unseen):
        i = int(np.argmax(unseen))
        value = col[i].item() if isinstance(col[i], np.generic) else col[i]
        raise ValueError(f"column {j!r} has level {value!r} (row {i}), not seen when the model was fitted")
    return pos.astype(np.float64)


def _margin_knots(x: np.ndarray, k: int, bs: str, period: Any, what: str, j: Any) -> np.ndarray:
    lo, hi = float(x.min()), float(x.max())
    if not (hi - lo > _RESOLUTION * max(abs(lo), abs(hi))) or not (hi > lo):
        raise ValueError(f"{what}: column {j!r} is constant (every value is {lo!r}) and cannot carry a smooth")
    if bs == "ps":
        return np.array([lo, hi])
    if bs == "cr":
        u = np.unique(x)
        if u.size < k:
            raise ValueError(f"{what}: bs='cr' with k={k} needs at least {k} distinct values in "
                             f"column {j!r}; it has {u.size}")
        return np.quantile(u, np.linspace(0.0, 1.0, k))
    # cyclic
    if period is None:
        start, end = lo, hi
    elif isinstance(period, (tuple, list)):
        start, end = float(period[0]), float(period[1])
    else:
        start, end = lo, lo + float(period)
    if not (end > start) or not math.isfinite(start) or not math.isfinite(end):
        raise ValueError(f"{what}: period must give an end after its start, got {period!r}")
    return np.linspace(start, end, k + 1)


class GAM:
    """A generalized additive model fitted by penalized IRLS with smoothing parameters
    chosen by REML (or GCV / UBRE).

    Parameters
    ----------
    terms : term, sum of terms, list of terms, or None
        The model's terms (``s``, ``te``, ``l``, ``f``); None fits ``s(j)`` for every column.
    family : {"gaussian", "binomial", "poisson", "gamma"}
        Response distribution; links identity, logit, log, log.
    method : {"REML", "GCV", "UBRE"}
        Smoothing-parameter criterion. UBRE needs a known scale (binomial, poisson).
    fit_intercept : bool
        Include an unpenalized intercept; every smooth is then centred.
    max_iter : int
        Largest number of penalized IRLS iterations (passes over the data).
    tol : float
        Convergence tolerance on the relative change of the penalized deviance.
    n_jobs : int or None
        Threads for passes over the data; None uses every core.
    verbose : bool
        Print one line per iteration.

    Examples
    --------
    >>> import numpy as np
    >>> from velkan import GAM, s, l
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(size=(500, 2))
    >>> y = np.sin(6 * X[:, 0]) + X[:, 1] + rng.normal(scale=0.1, size=500)
    >>> gam = GAM(s(0) + l(1)).fit(X, y)
    >>> gam.predict(X[:3]).shape
    (3,)
    """

    def __init__(self, terms: Any = None, family: str = "gaussian", method: str = "REML",
                 fit_intercept: bool = True, max_iter: int = 100, tol: float = 1e-7,
                 n_jobs: int | None = None, verbose: bool = False) -> None:
        self.terms = terms
        self.family = family
        self.method = method
        self.fit_intercept = fit_intercept
        self.max_iter = max_iter
        self.tol = tol
        self.n_jobs = n_jobs
        self.verbose = verbose

    # ------------------------------------------------------------------ checks
    def _check_params(self) -> tuple[str, str, TermList | None, int, int]:
        family = check_family(self.family)
        if self.method not in METHODS:
            raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}; got {self.method!r}")
        if self.method == "UBRE" and family in SCALE_ESTIMATED:
            raise ValueError(f"method='UBRE' needs a known scale; the {family} family estimates it "
                             "(use 'REML' or 'GCV')")
        if isinstance(self.max_iter, bool) or not isinstance(self.max_iter, (int, np.integer)) or self.max_iter < 1:
            raise ValueError(f"max_iter must be a positive integer, got {self.max_iter!r}")
        if not (isinstance(self.tol, (int, float)) and 0.0 < self.tol < 1.0):
            raise ValueError(f"tol must be a number in (0, 1), got {self.tol!r}")
        threads = _threads(self.n_jobs)
        terms = None if self.terms is None else as_terms(self.terms)
        if terms is not None and len(terms) == 0 and not self.fit_intercept:
            raise ValueError("the model has no terms")
        return family, self.method, terms, int(self.max_iter), threads

    # ------------------------------------------------------------------ fitting
    def fit(self, X: Any, y: Any, sample_weight: Any = None, offset: Any = None) -> "GAM":
        """Fit the model; returns ``self``.

        ``sample_weight`` multiplies each row's log-likelihood contribution (binomial: the
        number of trials, ``y`` the proportion of successes); ``offset`` enters the linear
        predictor with coefficient 1.
        """
        family, method, terms, max_iter, threads = self._check_params()
        X = _as_2d(X)
        n, d = X.shape
        y = _as_vector(y, n, "y", allow_none=False)
        w = _as_vector(sample_weight, n, "sample_weight")
        off = _as_vector(offset, n, "offset")
        if w is not None:
            if (w < 0).any():
                i = int(np.argmax(w < 0))
                raise ValueError(f"sample_weight must be non-negative (row {i} is {w[i]!r})")
            if not (w > 0).any():
                raise ValueError("sample_weight is zero for every row")
        check_support(family, y)
        if terms is None:
            terms = TermList(s(j) for j in range(d))

        spec, inputs, infos, columns = self._build_spec(terms, X, w)
        lams = [lam for t in terms if isinstance(t, SmoothTerm) for lam in t.lam]
        fitted = self._run(family, method, spec, inputs, infos, columns, y, w, off, lams,
                           max_iter, threads, d)
        self._fitted = fitted
        self._set_attributes(fitted)
        return self

    def _build_spec(self, terms: TermList, X: np.ndarray, w: np.ndarray | None):
        n, d = X.shape
        spec: list[dict] = []
        inputs: list[_InputColumn] = []
        columns: list[np.ndarray] = []
        infos: list[_TermInfo] = []
        numeric_index: dict[Any, int] = {}

        def numeric(j: Any, what: str) -> tuple[int, np.ndarray]:
            idx = _column_index(j, d, what)
            if idx not in numeric_index:
                numeric_index[idx] = len(columns)
                columns.append(_numeric_column(X, idx, what))
                inputs.append(_InputColumn(idx))
            return numeric_index[idx], columns[numeric_index[idx]]

        if self.fit_intercept:
            spec.append({"kind": "intercept"})
            infos.append(_TermInfo("(Intercept)", "intercept"))
        n_pen = 0
        for term in terms:
            what = repr(term)
            if isinstance(term, SmoothTerm):
                margins, cols = [], []
                for m, j in enumerate(term.cols):
                    c, x = numeric(j, what)
                    cols.append(c)
                    margins.append((term.bs[m], term.k[m], _margin_knots(x, term.k[m], term.bs[m], term.period[m], what, j)))
                spec.append({"kind": "smooth", "columns": cols, "margins": margins})
                infos.append(_TermInfo(what, "smooth", list(range(n_pen, n_pen + len(cols)))))
                n_pen += len(cols)
            elif isinstance(term, LinearTerm):
                c, x = numeric(term.col, what)
                spec.append({"kind": "linear", "columns": [c], "center": float(np.average(x, weights=w))})
                infos.append(_TermInfo(what, "linear"))
            elif isinstance(term, FactorTerm):
                idx = _column_index(term.col, d, what)
                raw = X[:, idx]
                levels = _levels_of(raw, idx)
                if levels.size < 2:
                    raise ValueError(f"{what}: column {idx} has a single level ({levels[0]!r}); a factor needs two or more")
                inputs.append(_InputColumn(idx, levels))
                columns.append(_codes(raw, levels, idx))
                spec.append({"kind": "factor", "columns": [len(columns) - 1], "levels": int(levels.size)})
                infos.append(_TermInfo(what, "factor", levels=levels))
            else:
                raise TypeError(f"unknown term {term!r}")
        if not spec:
            raise ValueError("the model has no terms")
        return spec, inputs, infos, columns

    def _run(self, family, method, spec, inputs, infos, columns, y, w, off, lams, max_iter,
             threads, d):
        layout = _engine.Layout(spec)
        n_pen = len(layout.penalty_terms)
        rho_fixed = np.full(n_pen, np.nan)
        free = [True] * n_pen
        for i, lam in enumerate(lams):
            if lam is not None:
                rho_fixed[i] = math.log(lam)
                free[i] = False
        known_scale = float("nan") if family in SCALE_ESTIMATED else 1.0

        beta0 = np.zeros(layout.width)
        if self.fit_intercept:
            beta0[0] = starting_level(family, y, w)
        t0 = time.perf_counter()
        sums = _engine.accumulate(layout, columns, y, w, off, family, beta0, True, True, threads)
        if not sums["finite"]:
            raise ValueError("the starting linear predictor is not finite; check y, sample_weight and offset")
        layout = layout.centred(sums["column_sums"])
        column_sums = sums["column_sums"]

        rho = rho_fixed.copy()
        beta_prev = None
        dev_prev = math.nan
        converged = False
        search_ok = True
        n_iter = 0
        step = None
        passes = 1
        final_sums = sums
        for it in range(max_iter):
            n_iter = it + 1
            step = _engine.fit_step(layout, sums, beta0, rho, free, method, known_scale,
                                    200, 1e-6)
            last_exit = step["exit"]
            search_ok = last_exit in ("converged", "no free parameters", "exact fit")
            rho = step["rho"]
            beta_new = step["beta_raw"]
            if family == "gaussian":
                converged = True
                final_sums = sums
                break
            lam = np.exp(rho)
            new_sums = _engine.accumulate(layout, columns, y, w, off, family, beta_new, False, False, threads)
            passes += 1
            pen_new = new_sums["deviance"] + layout.penalty_quadratic(beta_new, lam)
            if beta_prev is not None:
                pen_old = dev_prev + layout.penalty_quadratic(beta_prev, lam)
                halvings = 0
                while not (new_sums["finite"] and math.isfinite(pen_new)
                           and pen_new <= pen_old + 1e-7 * abs(pen_old) + 1e-300):
                    if halvings == _MAX_HALVINGS:
                        break
                    beta_new = 0.5 * (beta_prev + beta_new)
                    new_sums = _engine.accumulate(layout, columns, y, w, off, family, beta_new, False, False, threads)
                    passes += 1
                    pen_new = new_sums["deviance"] + layout.penalty_quadratic(beta_new, lam)
                    halvings += 1
                if halvings == _MAX_HALVINGS:
                    # No step along the direction improves: keep the previous coefficients.
                    beta_new = beta_prev
                    new_sums = final_sums
                    break
                change = abs(pen_new - pen_old) / (0.1 + abs(pen_new))
            else:
                change = math.inf
            if self.verbose:
                print(f"iteration {n_iter}: {method} {step['score']:.8g}  deviance {new_sums['deviance']:.8g}  "
                      f"lambda {np.array2string(np.exp(rho), precision=4)}  {time.perf_counter() - t0:.3f} s")
            beta_prev, dev_prev = beta_new, new_sums["deviance"]
            sums, beta0, final_sums = new_sums, beta_new, new_sums
            if change < self.tol:
                converged = True
                break
        if family != "gaussian":
            # Coefficients, X'WX and edf at the final expansion point.
            step = _engine.fit_step(layout, final_sums, beta0, rho, [False] * n_pen, method, known_scale, 1, 1e-6)
        if self.verbose and family == "gaussian":
            print(f"iteration 1: {method} {step['score']:.8g}  lambda {np.array2string(np.exp(rho), precision=4)}  "
                  f"{time.perf_counter() - t0:.3f} s")
        if not converged:
            warnings.warn(f"penalized IRLS did not converge in {max_iter} iterations; the results "
                          "are those of the last iteration", ConvergenceWarning, stacklevel=3)
        if not search_ok:
            warnings.warn(f"the smoothing-parameter search stopped before converging ({last_exit})",
                          ConvergenceWarning, stacklevel=3)
        if step["undetermined"]:
            warnings.warn(f"{len(step['undetermined'])} coefficient direction(s) are not determined by the "
                          "data (aliased terms?); they were held near zero", ConvergenceWarning, stacklevel=3)
        fitted = _Fitted(family=family, method=method, spec=spec, inputs=inputs,
                         column_sums=column_sums, terms=infos, beta_raw=step["beta_raw"],
                         beta=step["beta"], rho=rho, scale=float(step["scale"]),
                         xtwx=step["xtwx"], edf=step["edf_per_coefficient"], score=float(step["score"]),
                         deviance=float(final_sums["deviance"]), n_features=d, rows=float(final_sums["rows"]),
                         layout=layout)
        fitted.converged = converged and search_ok
        fitted.n_iter = n_iter
        fitted.passes = passes
        fitted.search_exit = step["exit"]
        return fitted

    def _set_attributes(self, fitted: _Fitted) -> None:
        self.coef_ = fitted.beta
        self.lambda_ = np.exp(fitted.rho)
        self.scale_ = fitted.scale
        self.converged_ = fitted.converged
        self.n_iter_ = fitted.n_iter
        self.n_features_in_ = fitted.n_features
        self.edf_ = float(np.sum(fitted.edf))
        self.deviance_ = fitted.deviance

    # ------------------------------------------------------------------ prediction
    def _check_fitted(self) -> _Fitted:
        fitted = getattr(self, "_fitted", None)
        if fitted is None:
            raise RuntimeError("this GAM is not fitted yet; call fit(X, y) first")
        return fitted

    def _engine_columns(self, fitted: _Fitted, X: Any) -> tuple[list[np.ndarray], int]:
        X = _as_2d(X)
        if X.shape[1] != fitted.n_features:
            raise ValueError(f"X has {X.shape[1]} columns; the model was fitted on {fitted.n_features}")
        cols = []
        for inp in fitted.inputs:
            if inp.levels is None:
                cols.append(_numeric_column(X, inp.source, "predict"))
            else:
                cols.append(_codes(X[:, inp.source], inp.levels, inp.source))
        return cols, X.shape[0]

    def predict(self, X: Any, offset: Any = None, type: str = "response") -> np.ndarray:
        """Predicted means (``type="response"``) or linear predictors (``type="link"``)."""
        fitted = self._check_fitted()
        if type not in ("response", "link"):
            raise ValueError(f"type must be 'response' or 'link', got {type!r}")
        cols, n = self._engine_columns(fitted, X)
        off = _as_vector(offset, n, "offset")
        eta = _engine.linear_predictor(fitted.engine_layout(), cols, fitted.beta_raw, off, n,
                                       _threads(self.n_jobs))
        return eta if type == "link" else inverse_link(fitted.family, eta)

    def __repr__(self) -> str:
        params = []
        for name, default in (("terms", None), ("family", "gaussian"), ("method", "REML"),
                              ("fit_intercept", True), ("max_iter", 100), ("tol", 1e-7),
                              ("n_jobs", None), ("verbose", False)):
            value = getattr(self, name)
            if value is not default and value != default:
                params.append(f"{name}={value!r}")
        return f"GAM({', '.join(params)})"


def _threads(n_jobs: Any) -> int:
    if n_jobs is None or n_jobs == -1:
        return os.cpu_count() or 1
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, (int, np.integer)) or n_jobs < 1:
        raise ValueError(f"n_jobs must be a positive integer, -1 or None, got {n_jobs!r}")
    return int(n_jobs)


def _column_index(j: Any, d: int, what: str) -> int:
    if isinstance(j, str):
        raise ValueError(f"{what}: column {j!r} is named, but X has no column names (pass a DataFrame)")
    if j >= d:
        raise ValueError(f"{what}: column {j} does not exist; X has {d} columns")
    return int(j)
