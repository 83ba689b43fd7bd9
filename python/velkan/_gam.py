"""The GAM estimator."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from . import _engine
from ._data import ArraySource
from ._design import ExactStats, build_design, engine_columns
from ._families import SCALE_ESTIMATED, check_family, check_support, inverse_link, starting_level
from ._fit import ConvergenceWarning, Fitted, fit_loop
from ._stream import fit_stream, open_source, predict_source
from ._terms import TermList, as_terms, s

METHODS = ("REML", "GCV", "UBRE")

__all__ = ["GAM", "ConvergenceWarning"]


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
        Threads for passes over the data (cross products, prediction); None uses every
        core (on Dask, one thread per partition task). Each thread reduces a contiguous
        range of row blocks; the ranges are summed in order, so results differ between
        thread counts only by the rounding of that sum.
    verbose : bool
        Print one line per iteration, and report every pass over streamed data (a
        progress bar when tqdm is installed).

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
    def fit(self, X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None) -> "GAM":
        """Fit the model; returns ``self``.

        ``sample_weight`` multiplies each row's log-likelihood contribution (binomial: the
        number of trials, ``y`` the proportion of successes); ``offset`` enters the linear
        predictor with coefficient 1. A failed fit leaves a previous fit untouched.

        X held in memory is read as one array. X is read in chunks, once per pass, when it
        is a ``np.memmap``, the path of a ``.npy`` file, a Parquet file or directory (or a
        pyarrow dataset), a list of chunks (arrays, pyarrow tables or batches, DataFrames,
        or ``(X, y[, sample_weight[, offset]])`` tuples) or a function returning an
        iterator of them, or a dask array or DataFrame (`velkan.dask`); ``y``,
        ``sample_weight`` and ``offset`` may then also name columns of a table.
        """
        family, method, terms, max_iter, threads = self._check_params()
        source = open_source(X, y, sample_weight, offset)
        if source is not None:
            if self.n_jobs is None:
                threads = getattr(source, "threads_per_task", threads)
            fitted = fit_stream(source, terms, family=family, method=method,
                                fit_intercept=self.fit_intercept, max_iter=max_iter, tol=self.tol,
                                verbose=self.verbose, threads=threads)
            self._fitted = fitted
            self._set_attributes(fitted)
            return self
        source = ArraySource(X, y, sample_weight, offset)
        chunk = source.chunk
        check_support(family, chunk.y)
        if terms is None:
            terms = TermList(s(j) for j in range(source.n_features))
        design = build_design(terms, chunk.columns, ExactStats(chunk.columns, chunk.weights),
                              self.fit_intercept)
        columns = engine_columns(design.inputs, chunk.columns, source.n_features)

        def run_pass(layout: Any, beta0: np.ndarray, from_response: bool, column_sums: bool) -> dict:
            return _engine.accumulate(layout, columns, chunk.y, chunk.weights, chunk.offset, family,
                                      beta0, from_response, column_sums, threads)

        start = starting_level(family, chunk.y, chunk.weights) if self.fit_intercept else None
        fitted = fit_loop(design, run_pass, family=family, method=method, start_level=start,
                          max_iter=max_iter, tol=self.tol, verbose=self.verbose,
                          n_features=source.n_features)
        self._fitted = fitted
        self._set_attributes(fitted)
        return self

    def _set_attributes(self, fitted: Fitted) -> None:
        self.coef_ = fitted.beta
        self.lambda_ = np.exp(fitted.rho)
        self.scale_ = fitted.scale
        self.converged_ = fitted.converged
        self.n_iter_ = fitted.n_iter
        self.n_features_in_ = fitted.n_features
        self.edf_ = float(np.sum(fitted.edf))
        self.deviance_ = fitted.deviance

    # ------------------------------------------------------------------ prediction
    def _check_fitted(self) -> Fitted:
        fitted = getattr(self, "_fitted", None)
        if fitted is None:
            raise RuntimeError("this GAM is not fitted yet; call fit(X, y) first")
        return fitted

    def predict(self, X: Any, offset: Any = None, type: str = "response") -> np.ndarray:
        """Predicted means (``type="response"``) or linear predictors (``type="link"``).

        X may be any input ``fit`` reads in chunks; a dask collection gives a dask array."""
        fitted = self._check_fitted()
        if type not in ("response", "link"):
            raise ValueError(f"type must be 'response' or 'link', got {type!r}")
        source = open_source(X, offset=offset)
        if source is not None:
            threads = _threads(self.n_jobs)
            if self.n_jobs is None:
                threads = getattr(source, "threads_per_task", threads)
            eta = predict_source(fitted, source, threads, self.verbose)
            return eta if type == "link" else inverse_link(fitted.family, eta)
        source = ArraySource(X, require_y=False, offset=offset)
        cols = engine_columns(fitted.inputs, source.chunk.columns, fitted.n_features)
        eta = _engine.linear_predictor(fitted.engine_layout(), cols, fitted.beta_raw,
                                       source.chunk.offset, source.rows, _threads(self.n_jobs))
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
