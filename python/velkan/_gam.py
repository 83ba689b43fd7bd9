"""The GAM estimator."""

from __future__ import annotations

import dataclasses
import os
import warnings
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple

import numpy as np

from . import _checking, _engine, _inference, _posterior
from ._binning import DEFAULT_MAX_BINS, BinnedDesign, SketchStats, bins_rows, check_binning, memory_pass
from ._data import ArraySource
from ._design import (EXTRAPOLATION_MARGIN, ExactStats, build_design, engine_columns, far_rows,
                      rug_sample, smooth_ranges)
from ._families import DEFAULT as DEFAULT_FAMILY
from ._families import Family, as_family, starting_level
from ._fit import ConvergenceWarning, ExtrapolationWarning, Fitted
from ._profile import binned_method, fit_model
from ._formula import parse_formula
from ._frames import AlignedColumns
from ._stream import fit_stream, open_source, predict_source
from ._summary import Summary, summarize
from ._terms import Term, TermList, TermsLike, as_terms, default_terms
from ._training import Rows, chunk_mean, chunk_residuals, chunk_sample, join_samples, sample_rate

if TYPE_CHECKING:
    from matplotlib.figure import Figure
    from numpy.typing import ArrayLike

# X: a two-dimensional array-like, or a data frame (pandas, polars, Arrow, a mapping of
# column name to 1-D array); no frame library is imported to name their types.
DataLike = Any

METHODS = ("REML", "PQL", "GCV", "UBRE")
RESIDUAL_KINDS = ("deviance", "pearson", "response", "working")
# Partial residuals are drawn by default up to this many training rows held in memory, and
# then for a sample of about PARTIAL_RESIDUAL_POINTS of them.
PARTIAL_RESIDUAL_ROWS = 100_000
PARTIAL_RESIDUAL_POINTS = 2000
# How smooths predict beyond their training range, and what sample weights mean.
EXTRAPOLATE = ("linear", "constant")
WEIGHTS = ("precision", "frequency")
# Largest n_jobs: threads beyond the cores only cost memory (each keeps its own sums).
MAX_JOBS = 1024


class Params(NamedTuple):
    """The checked parameters of one fit."""

    family: Family
    method: str
    response: str | None       # the formula's response column
    terms: TermList | None     # None: a term for every column
    max_iter: int
    threads: int
    frequency_weights: bool    # weights count rows (else they set precisions)
    binning: Any               # True, False or "auto"
    max_bins: int
    temp_dir: Any

__all__ = ["GAM", "ConvergenceWarning", "ExtrapolationWarning", "compare"]


class GAM:
    """A generalized additive model fitted by penalized IRLS with smoothing parameters
    chosen by REML (or GCV / UBRE).

    Parameters
    ----------
    terms : str, term, sum of terms, list of terms, or None
        The model: a formula such as ``"y ~ s(age, k=20) + te(lat, lon) + f(region)"``, or
        the same terms as objects (``s("age", k=20) + te("lat", "lon") + f("region")``).
        Columns are named (DataFrame input) or given by position (``s(0)``, any input).
        None fits ``s()`` for every numeric column and ``f()`` for every categorical,
        string or boolean column of a DataFrame (``s()`` for every column of an array).
    family : str or Family
        Response distribution: a family object such as ``velkan.Poisson()`` (with its link
        and parameters) or a family's name; :func:`velkan.families` lists them. The default
        is the first family of that list, with its default link.
    method : {"REML", "PQL", "GCV", "UBRE"}
        Smoothing-parameter criterion. "REML" maximises the restricted likelihood (for a
        non-gaussian model its Laplace approximation, directly, with exact derivatives);
        "PQL" applies REML to each iteration's working linear model (performance
        iteration: fewer passes over the data). UBRE needs a known scale (binomial,
        poisson).
    fit_intercept : bool
        Include an unpenalized intercept; every smooth is then centred.
    max_iter : int
        Largest number of penalized IRLS iterations (passes over the data).
    tol : float
        Convergence tolerance on the relative change of the penalized deviance.
    n_jobs : int or None
        Threads for passes over the data (cross products, prediction), as scikit-learn
        counts them: None one, -1 every core (on Dask, threads per partition task). Each
        thread reduces a contiguous range of row blocks; the ranges are summed in order,
        so results differ between thread counts only by the rounding of that sum.
    select_terms : bool
        Give every smooth one more penalty, on the null space of its others (the functions
        its wiggliness penalty leaves free, such as straight lines), so that the criterion
        can shrink a whole term to zero, and then (with method "REML" or "PQL") remove the
        terms that do not pay for themselves: after the search, each such smooth is
        compared with the model without it (its smoothing parameters at the search's upper
        bound, its coefficients shrunk to a negligible part of a degree of freedom), and
        goes when its removal raises the criterion V (the negative log restricted
        likelihood) by less than the number of its smoothing parameters: the AIC's price
        of one log-likelihood unit per variance parameter, on the marginal likelihood.
        Terms are tried weakest first, the check repeated after each removal; a removed
        term's fit, edf (near 0), covariances and summary are those of the model without
        it. Why a price: REML alone estimates a variance component whose truth is zero
        at zero only about half the time, so it leaves a pure-noise term some edf in about
        half of all samples. Under that null, 2 dV of one variance component is a 50:50
        mixture of chi2_0 and chi2_1, so the price keeps a pure-noise term with
        probability 0.5 P(chi2_1 > 2) = 0.08 for one parameter, and 0.5 P(chi2_1 > 4) +
        0.25 P(chi2_2 > 4) = 0.06 for a smooth's two. The price works on real terms too: a
        term whose signal is close to the noise (a few log-likelihood units of evidence) is
        removed as well. Gaussian fits re-optimise the other smoothing parameters without
        the term, from the cross products already kept (no pass over the data); PQL
        decides on its final working model with the others held (no pass); Laplace REML
        screens the terms on the working model of its last pass (others held) and confirms
        a removal on its own criterion by one inner fit without the term (a few passes,
        spent only when a term goes). GCV and UBRE fits, and models with a shape
        constraint, keep every term.
    verbose : bool
        Print one line per iteration: the criterion's value, the deviance, the smoothing
        parameters and the time since the fit started, such as
        ``iteration 2: REML 2363.7247  deviance 1743.1948  lambda [3.3276e+00 4.7842e+08]  0.002 s``;
        over streamed data also every pass with the bytes it read (a progress bar when
        tqdm is installed).
    extrapolate : {"linear", "constant"}
        How smooths predict beyond the range of their training data: "linear" continues
        each along its tangent at the nearer end; "constant" holds it at its value there.
        A prediction warns when rows lie beyond a smooth's training range by more than
        10 % of that range.
    weights : {"precision", "frequency"}
        What ``sample_weight`` means. "precision": a row of weight 2 has half the variance
        of one of weight 1, and the criteria count rows (those with positive weight).
        "frequency": a weight counts repeated rows, so that the criteria and the residual
        degrees of freedom count the weights' sum, and integer weights fit exactly as the
        repeated rows do. Both multiply each row's log-likelihood contribution; with
        fixed smoothing parameters and a known scale they give the same fit.
    binning : {"auto", True, False}
        Fit on binned covariates: every column a term reads takes at most ``max_bins``
        values (its distinct values when it has no more, which gives the exact fit; else
        the midpoints of bins of about equally many distinct values; factors by their
        levels). A pass then costs a few additions per row whatever the model's size.
        "auto" bins fits of at least 2,000,000 rows, and from 200,000 rows a model with a
        two-column thin-plate smooth (whose exact rows cost tens of times a spline's).
        Prediction always evaluates the exact basis at the new points.
    max_bins : int
        Most bins of one column, 2 to 4096 (codes take one byte per row up to 256, two
        beyond).
    temp_dir : str or path, optional
        Where a binned streamed fit writes its codes when they are too large to hold in
        memory (default: the system's temporary directory); the file is removed at the
        end of the fit, also after an error or Ctrl-C.

    Attributes
    ----------
    coef_ : ndarray
        Coefficients (centred parameterisation: intercept first, then each term's).
    lambda_ : ndarray
        Smoothing parameters, one per penalty (a tensor product has one per margin).
    scale_ : float
        Estimated dispersion, or the known one (1) for families that fix it.
    edf_ : float
        Effective degrees of freedom of the whole model.
    deviance_ : float
        Deviance at the fitted coefficients.
    converged_, n_iter_ : bool, int
        Whether the fit met its tolerance, and the penalized IRLS iterations it took.
    binned_ : bool
        Whether the fit was on binned covariates.
    n_features_in_ : int
        Columns of ``X`` at fit time (a formula's response column not counted).
    feature_names_in_ : ndarray of str
        Their names, when ``X`` had string column names.

    A fit can be stopped with Ctrl-C (``KeyboardInterrupt``); the model then keeps its
    previous fit. Fitted models pickle, and ``save`` / :func:`velkan.load` write and read
    a portable file holding data only.

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

    With named columns (a pandas or polars DataFrame, an Arrow table or a dict of arrays)
    a formula names the response, which ``fit`` then takes from ``X``:

    >>> data = {"x": X[:, 0], "z": X[:, 1], "y": y}
    >>> gam = GAM("y ~ s(x) + l(z)").fit(data)
    >>> gam.feature_names_in_
    array(['x', 'z'], dtype=object)
    """

    def __init__(self, terms: TermsLike = None, family: "str | Family" = DEFAULT_FAMILY, method: str = "REML",
                 fit_intercept: bool = True, max_iter: int = 100, tol: float = 1e-7,
                 n_jobs: int | None = None, verbose: bool = False, extrapolate: str = "linear",
                 weights: str = "precision", binning: Any = "auto", max_bins: int = DEFAULT_MAX_BINS,
                 temp_dir: Any = None, select_terms: bool = False) -> None:
        self.terms = terms
        self.family = family
        self.method = method
        self.fit_intercept = fit_intercept
        self.max_iter = max_iter
        self.tol = tol
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.extrapolate = extrapolate
        self.weights = weights
        self.select_terms = select_terms
        self.binning = binning
        self.max_bins = max_bins
        self.temp_dir = temp_dir

    # ------------------------------------------------------------------ checks
    def _check_params(self) -> Params:
        family = as_family(self.family)
        if self.method not in METHODS:
            raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}; got {self.method!r}")
        if self.method == "UBRE" and family.info.scale_estimated:
            raise ValueError(f"method='UBRE' needs a known scale; the {family.name} family estimates it "
                             "(use 'REML' or 'GCV')")
        if isinstance(self.max_iter, bool) or not isinstance(self.max_iter, (int, np.integer)) or self.max_iter < 1:
            raise ValueError(f"max_iter must be a positive integer, got {self.max_iter!r}")
        if not (isinstance(self.tol, (int, float)) and 0.0 < self.tol < 1.0):
            raise ValueError(f"tol must be a number in (0, 1), got {self.tol!r}")
        threads = _threads(self.n_jobs)
        if not isinstance(self.select_terms, (bool, np.bool_)):
            raise ValueError(f"select_terms must be True or False, got {self.select_terms!r}")
        _check_choice("extrapolate", self.extrapolate, EXTRAPOLATE)
        _check_choice("weights", self.weights, WEIGHTS)
        binning = getattr(self, "binning", "auto")
        max_bins = getattr(self, "max_bins", DEFAULT_MAX_BINS)
        temp_dir = getattr(self, "temp_dir", None)
        check_binning(binning, max_bins, temp_dir)
        response = None
        terms: TermList | None
        if isinstance(self.terms, str):
            formula = parse_formula(self.terms)
            response, terms = formula.response, formula.terms
        else:
            terms = None if self.terms is None else as_terms(self.terms)
        if terms is not None and len(terms) == 0 and not self.fit_intercept:
            raise ValueError("the model has no terms")
        return Params(family, self.method, response, terms, int(self.max_iter), threads,
                      self.weights == "frequency", binning, int(max_bins), temp_dir)

    def _default_terms(self, columns: Any) -> TermList:
        """The model when no terms are given: ``f`` for categorical, string and boolean
        columns, ``s`` for the others."""
        return default_terms(columns)

    # ------------------------------------------------------------------ fitting
    def fit(self, X: DataLike, y: "ArrayLike | None" = None, sample_weight: "ArrayLike | None" = None,
            offset: "ArrayLike | None" = None) -> "GAM":
        """Fit the model; returns ``self``.

        ``X`` is a two-dimensional array or a data frame (pandas, polars, Arrow, a dict of
        columns). ``y`` may be left out when the formula names the response and ``X`` has
        that column. ``sample_weight`` multiplies each row's log-likelihood contribution
        (binomial: the number of trials, ``y`` the proportion of successes); ``offset``
        enters the linear predictor with coefficient 1. A failed or interrupted fit leaves
        a previous fit untouched.

        X held in memory is read as one array. X is read in chunks, once per pass, when it
        is a ``np.memmap``, the path of a ``.npy`` file, a Parquet file or directory (or a
        pyarrow dataset), a list of chunks (arrays, pyarrow tables or batches, DataFrames,
        or ``(X, y[, sample_weight[, offset]])`` tuples) or a function returning an
        iterator of them, or a dask array or DataFrame (`velkan.dask`); ``y``,
        ``sample_weight`` and ``offset`` may then also name columns of a table.

        >>> import numpy as np
        >>> from velkan import GAM
        >>> x = np.linspace(0, 1, 200)
        >>> GAM().fit(x[:, None], np.sin(5 * x)).n_iter_
        1
        """
        params = self._check_params()
        stream = open_source(X, params.response if y is None else y, sample_weight, offset)
        if stream is not None:
            threads = params.threads
            fitted = fit_stream(stream, params.terms, family=params.family, method=params.method,
                                fit_intercept=self.fit_intercept, select=bool(self.select_terms),
                                max_iter=params.max_iter,
                                tol=self.tol, verbose=self.verbose, threads=threads,
                                frequency_weights=params.frequency_weights,
                                binning=params.binning, max_bins=params.max_bins,
                                temp_dir=params.temp_dir)
            self._rug = None
            self._fitted = fitted
            self._training = stream
            self._set_attributes(fitted)
            return self
        source = ArraySource(X, y, sample_weight, offset, response=params.response)
        return self._fit_source(source, params)

    def _fit_source(self, source: ArraySource, params: Params) -> "GAM":
        chunk = source.chunk
        family = params.family
        assert chunk.y is not None  # a fit's source always has a response
        family.model.check_support(chunk.y)
        terms = params.terms if params.terms is not None else self._default_terms(chunk.columns)
        threads = params.threads
        binned = None
        method = params.method
        level = starting_level(family.model, chunk.y, chunk.weights, params.frequency_weights)
        if bins_rows(params.binning, chunk.rows, terms) and binned_method(family, method, params.binning):
            method = binned_method(family, method, params.binning)
            stats = SketchStats(chunk.columns, chunk.weights, params.max_bins)
            design = build_design(terms, chunk.columns, stats, self.fit_intercept, bool(self.select_terms))
            binned = BinnedDesign.from_sketches(design, stats.sketch)
            if self.verbose:
                print(binned.describe(), flush=True)
            run_pass = memory_pass(binned, chunk, source.n_features, family.model, threads, level)
            columns = [stats.values.get(inp.source) for inp in design.inputs]  # for the rug
            extremes = [(stats.sketches[inp.source].min, stats.sketches[inp.source].max)
                        if inp.source in stats.sketches else None for inp in design.inputs]
        else:
            design = build_design(terms, chunk.columns, ExactStats(chunk.columns, chunk.weights),
                                  self.fit_intercept, bool(self.select_terms))
            columns = engine_columns(design.inputs, chunk.columns, source.n_features)
            extremes = None

            def run_pass(layout: Any, beta0: np.ndarray, from_response: bool, column_sums: bool,
                         request: Any = None) -> Any:
                return _engine.accumulate(layout, columns, chunk.y, chunk.weights, chunk.offset,
                                          family.model, beta0, from_response, column_sums, threads,
                                          request=request)

        start = level if self.fit_intercept else None
        fitted = fit_model(design, run_pass, family=family, method=method, start_level=start,
                          max_iter=params.max_iter, tol=self.tol, verbose=self.verbose,
                          n_features=source.n_features, frequency_weights=params.frequency_weights,
                           binned=binned is not None)
        fitted.feature_names = source.feature_names
        fitted.binned = binned is not None
        self._rug = rug_sample(design, columns, extremes)
        self._fitted = fitted
        self._training = source
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
        self.binned_ = fitted.binned
        if fitted.feature_names is not None:
            self.feature_names_in_ = np.asarray(fitted.feature_names, dtype=object)
        elif "feature_names_in_" in self.__dict__:
            del self.feature_names_in_

    # ------------------------------------------------------------------ prediction
    def _check_fitted(self) -> Fitted:
        fitted = getattr(self, "_fitted", None)
        if fitted is None:
            raise RuntimeError("this GAM is not fitted yet; call fit(X, y) first")
        return fitted

    def _model_columns(self, X: DataLike, offset: "ArrayLike | None" = None,
                       population: bool = False) -> tuple[list[np.ndarray], ArraySource]:
        """The engine input columns of new data: a frame's columns are matched by name
        when the model was fitted on named columns, otherwise by position. `population`
        sets every random effect to zero without reading its grouping column."""
        fitted = self._check_fitted()
        source = ArraySource(X, require_y=False, offset=offset)
        columns: Any = source.chunk.columns
        if fitted.feature_names is not None and columns.names is not None:
            columns = AlignedColumns(columns, fitted.feature_names)
        return engine_columns(fitted.inputs, columns, fitted.n_features, population=population), source

    def _new_rows(self, X: DataLike, offset: "ArrayLike | None" = None,
                  population: bool = False) -> tuple[list[np.ndarray], np.ndarray | None, int]:
        """The engine input columns, offset and row count of new rows (warning about rows
        far beyond a smooth's training range)."""
        cols, source = self._model_columns(X, offset, population)
        _warn_far(far_rows(self._check_fitted().design, cols), source.rows, self.extrapolate)
        return cols, source.chunk.offset, source.rows

    def _layout(self) -> Any:
        """The engine layout new rows are predicted with (`extrapolate`)."""
        _check_choice("extrapolate", self.extrapolate, EXTRAPOLATE)
        return self._check_fitted().prediction_layout(self.extrapolate == "constant")

    def predict(self, X: DataLike, offset: "ArrayLike | None" = None, type: str = "response",
                return_std: bool = False, random_effects: bool = True) -> Any:
        """Predicted means (``type="response"``) or linear predictors (``type="link"``).

        ``random_effects=False`` predicts at the population level: every random effect
        (``re()``, and smooths with ``by=..., shrink=True``) at zero, its grouping column
        not read (it may be absent from ``X``). A grouping level not seen at fit time
        always predicts that way for its own effect, with a warning.

        A DataFrame's columns are matched by name (its response column, if any, is
        ignored); an array's by position. With ``return_std=True`` returns
        ``(prediction, se)``, ``se`` the standard error of the linear predictor (link scale;
        use ``confidence_intervals`` for bounds on the response scale). X may also be any
        input ``fit`` reads in chunks; a dask collection gives a dask array.

        >>> import numpy as np
        >>> import velkan
        >>> from velkan import GAM
        >>> x = np.linspace(0, 1, 200)[:, None]
        >>> gam = GAM(family=velkan.Poisson()).fit(x, np.round(5 * x[:, 0]))
        >>> gam.predict([[0.5]], type="link").round(1)
        array([0.9])
        """
        fitted = self._check_fitted()
        if type not in ("response", "link"):
            raise ValueError(f"type must be 'response' or 'link', got {type!r}")
        stream = open_source(X, offset=offset)
        if stream is not None:
            if not random_effects:
                raise ValueError("random_effects=False needs the rows in memory (an array or a data frame)")
            if return_std:
                raise ValueError("return_std needs the rows in memory (an array or a data frame)")
            _check_choice("extrapolate", self.extrapolate, EXTRAPOLATE)
            eta = predict_source(fitted, stream, _threads(self.n_jobs), self.verbose, self.extrapolate == "constant")
            _warn_far(stream.far, stream.rows, self.extrapolate)
            if isinstance(eta, np.ndarray):
                check_finite_predictions(fitted, eta, None)
            return eta if type == "link" else _response(fitted, eta)
        cols, off, n = self._new_rows(X, offset, population=not random_effects)
        if return_std:
            eta, se = _inference.link_with_se(fitted, cols, off, n, _threads(self.n_jobs), self._layout())
            check_finite_predictions(fitted, eta, cols)
            return (eta if type == "link" else fitted.model.inverse_link(eta)), se
        eta = _engine.linear_predictor(self._layout(), cols, fitted.beta_raw, off, n, _threads(self.n_jobs))
        check_finite_predictions(fitted, eta, cols)
        return eta if type == "link" else fitted.model.inverse_link(eta)

    def confidence_intervals(self, X: Any, level: float = 0.95, offset: Any = None) -> np.ndarray:
        """``(n, 2)`` lower and upper bounds of the mean at each row (response scale): the
        interval eta +- z se on the link scale, mapped through the inverse link."""
        fitted = self._check_fitted()
        level = _inference.check_level(level)
        cols, off, n = self._new_rows(X, offset)
        return _inference.confidence_intervals(fitted, cols, off, n, _threads(self.n_jobs), level, self._layout())

    def prediction_intervals(self, X: Any, level: float = 0.95, offset: Any = None) -> np.ndarray:
        """``(n, 2)`` bounds for a new observation at each row (gaussian family only): the
        mean's uncertainty plus the residual scale."""
        fitted = self._check_fitted()
        level = _inference.check_level(level)
        cols, off, n = self._new_rows(X, offset)
        return _inference.prediction_intervals(fitted, cols, off, n, _threads(self.n_jobs), level, self._layout())

    def partial_effect(self, term: Any, X: Any) -> tuple[np.ndarray, np.ndarray]:
        """``(effect, se)``: one term's contribution to the linear predictor at each row of
        ``X`` and its standard error. ``term`` is its position in the model (the intercept,
        when fitted, is 0), the term itself (``s(0)``) or its label, long (``s('hour', k=10,
        bs='ps')``) or short (``s(hour)``)."""
        fitted = self._check_fitted()
        index = _inference.term_index(fitted, term)
        cols, _, n = self._new_rows(X)
        return _inference.partial_effect(fitted, index, cols, n, _threads(self.n_jobs), self._layout())

    def summary(self) -> Summary:
        """Term tests, parametric coefficients and model statistics (see ``Summary``)."""
        return summarize(self._check_fitted())

    # ------------------------------------------------------------------ checking the fit
    def _rows(self, X: DataLike, y: Any, sample_weight: Any, offset: Any, require_y: bool = True) -> Rows:
        """The rows a check reads: the training data (X None) or new data."""
        fitted = self._check_fitted()
        if X is None:
            if y is not None or sample_weight is not None or offset is not None:
                raise ValueError("y, sample_weight and offset go with X; leave them all out to use "
                                 "the training data")
            training = getattr(self, "_training", None)
            if training is None:
                raise ValueError("this model does not hold its training data (it was loaded from a "
                                 "file or unpickled); pass X and y")
            return Rows(training, fitted)
        response = self._check_params().response
        stream = open_source(X, response if y is None else y, sample_weight, offset)
        if stream is not None:
            return Rows(stream, fitted)
        source = ArraySource(X, y, sample_weight, offset, require_y=require_y, response=response)
        columns = source.chunk.columns
        aligned = None
        if fitted.feature_names is not None and columns.names is not None:
            aligned = AlignedColumns(columns, fitted.feature_names)
        return Rows(source, fitted, aligned)

    def residuals(self, X: DataLike = None, y: "ArrayLike | None" = None, kind: str = "deviance",
                  sample_weight: "ArrayLike | None" = None, offset: "ArrayLike | None" = None) -> Any:
        """Residuals of the training rows (``X`` None) or of new rows with their responses.

        ``kind``: ``"deviance"`` sign(y - mu) sqrt(w d(y, mu)) (their squares sum to the
        deviance), ``"pearson"`` (y - mu) sqrt(w / V(mu)), ``"response"`` y - mu, or
        ``"working"`` (y - mu) / (dmu/deta), with w the prior weight. A fitted model keeps
        a reference to its training data (not a copy, and never in a pickle or a model
        file), so after loading pass ``X`` and ``y``. Streamed data are read in one pass; a
        dask collection gives a dask array.

        >>> import numpy as np
        >>> from velkan import GAM
        >>> x = np.linspace(0, 1, 200)[:, None]
        >>> y = np.sin(5 * x[:, 0]) + np.random.default_rng(0).normal(scale=0.1, size=200)
        >>> gam = GAM().fit(x, y)
        >>> bool(np.isclose((gam.residuals() ** 2).sum(), gam.deviance_))
        True
        """
        if kind not in RESIDUAL_KINDS:
            raise ValueError(f"kind must be one of {', '.join(map(repr, RESIDUAL_KINDS))}, got {kind!r}")
        rows = self._rows(X, y, sample_weight, offset)
        fitted, threads = rows.fitted, _threads(self.n_jobs)
        if rows.is_dask:
            import dask.array as da
            parts = rows.map_delayed(chunk_residuals, fitted.design.spec, fitted.beta_raw, fitted.model,
                                     kind, threads)
            return da.concatenate([da.from_delayed(p, shape=(n,), dtype=np.float64)
                                   for p, n in zip(parts, rows.source.sizes)])
        parts = rows.map(chunk_residuals, fitted.engine_layout(), fitted.beta_raw, fitted.model, kind,
                         threads, verbose=self.verbose, what="residuals")
        return parts[0] if len(parts) == 1 else np.concatenate(parts)

    def diagnostics(self, X: DataLike = None, y: "ArrayLike | None" = None,
                    sample_weight: "ArrayLike | None" = None,
                    offset: "ArrayLike | None" = None) -> _checking.Diagnostics:
        """A report on the fit: convergence, the smoothing parameters and the criterion's
        gradient there, and for each smooth its edf against its maximum with a test of
        whether its basis was large enough (a small p-value: the residuals keep structure
        along the term's covariates that a richer basis takes up; refit with a larger
        ``k``). One pass over the training data (or over ``X`` and ``y``), streamed or on
        Dask too. ``print`` it, take ``.to_frame()``, or draw the residual panels with
        ``.plot()``."""
        rows = self._rows(X, y, sample_weight, offset)
        return _checking.diagnostics(rows.fitted, rows, _threads(self.n_jobs), self.verbose)

    def concurvity(self) -> _checking.Concurvity:
        """How much of each term the other terms can reproduce, from 0 to 1: the worst case
        over the term's functions, the fitted function, the average over its directions,
        and pairwise. Values near 1 mean the data cannot tell those terms apart. Computed
        from the cross products the fit keeps (no pass over the data)."""
        return _checking.concurvity(self._check_fitted())

    def aic(self) -> float:
        """Akaike's criterion, -2 log-likelihood + 2 k, with k the effective degrees of
        freedom corrected for the smoothing parameters' uncertainty (plus 1 for an
        estimated scale). NaN for a quasi-likelihood family."""
        return _checking.information_criterion(self._check_fitted(), 2.0)

    def bic(self) -> float:
        """The Bayesian information criterion, -2 log-likelihood + log(n) k, k as in
        ``aic``."""
        return _checking.information_criterion(self._check_fitted(), None)

    # ------------------------------------------------------------------ posterior simulation
    def covariance(self, kind: str = "corrected") -> np.ndarray:
        """The p x p covariance of ``coef_``: ``"corrected"`` (the Bayesian covariance plus
        the smoothing parameters' uncertainty: what standard errors and intervals use),
        ``"bayesian"`` (phi (X'WX + S)^-1) or ``"frequentist"`` (phi (X'WX + S)^-1 X'WX
        (X'WX + S)^-1)."""
        return _posterior.covariance(self._check_fitted(), kind)

    def model_matrix(self, X: DataLike) -> np.ndarray:
        """The model's design at the rows of ``X`` in the parameterisation of ``coef_`` (n x
        p): ``model_matrix(X) @ coef_`` is the linear predictor (without an offset), and ``M
        @ covariance() @ M.T`` the covariance of any linear functional ``M`` of the rows."""
        cols, _, n = self._new_rows(X)
        return _posterior.model_matrix(self._check_fitted(), cols, n, _threads(self.n_jobs))

    def sample(self, n_draws: int = 1000, seed: "int | None" = None, kind: str = "corrected") -> np.ndarray:
        """``(n_draws, p)`` coefficients drawn from the approximate posterior N(``coef_``, V),
        V = ``covariance(kind)``. With ``predict_draws`` and :func:`velkan.interval` they
        give intervals for any derived quantity.

        >>> import numpy as np
        >>> from velkan import GAM, interval
        >>> x = np.linspace(0, 1, 300)[:, None]
        >>> y = np.sin(6 * x[:, 0]) + np.random.default_rng(1).normal(scale=0.2, size=300)
        >>> gam = GAM().fit(x, y)
        >>> draws = gam.predict_draws(np.array([[0.1], [0.4]]), gam.sample(2000, seed=0))
        >>> lo, hi = interval(draws[:, 1] - draws[:, 0])   # the change from x = 0.1 to 0.4
        >>> bool(lo < np.sin(2.4) - np.sin(0.6) < hi)
        True
        """
        return _posterior.sample(self._check_fitted(), n_draws, seed, kind)

    def predict_draws(self, X: DataLike, draws: "ArrayLike", type: str = "response",
                      offset: "ArrayLike | None" = None) -> np.ndarray:
        """``(n_draws, n)`` predictions at the rows of ``X`` of each coefficient draw (a row
        of ``draws``, as ``sample`` returns them) on the response or link scale."""
        fitted = self._check_fitted()
        cols, off, n = self._new_rows(X, offset)
        M = _posterior.model_matrix(fitted, cols, n, _threads(self.n_jobs))
        return _posterior.predict_draws(fitted, M, off, draws, type)

    def simulate(self, X: DataLike = None, n: int = 1, seed: "int | None" = None,
                 sample_weight: "ArrayLike | None" = None, offset: "ArrayLike | None" = None) -> np.ndarray:
        """``(n, rows)`` new responses drawn from the fitted model at the rows of ``X``
        (None: the training rows, with their weights): mean mu, variance phi V(mu) / w for
        prior weight w (binomial: proportions of w trials; rows of weight 0 draw NaN). The
        draws of a row depend only on ``seed`` and the row's position, not on ``n_jobs``
        or how the rows are chunked."""
        fitted, threads = self._check_fitted(), _threads(self.n_jobs)
        count, seed_value = _posterior.check_count(n, "n"), _posterior.seed_value(seed)
        rows = self._rows(X, None, sample_weight, offset, require_y=False) if X is not None \
            else self._rows(None, None, None, None)
        layout = fitted.design.spec if rows.is_dask else fitted.engine_layout()
        parts = rows.map(chunk_mean, layout, fitted.beta_raw, fitted.model, threads)
        return np.concatenate([_posterior.responses(fitted, mu, w, count, seed_value, start, threads)
                               for mu, w, start in parts], axis=1)

    def _residual_sample(self, residuals: "bool | None") -> dict | None:
        """A sample of the training rows for partial residuals (None: none drawn)."""
        training = getattr(self, "_training", None)
        if residuals is False or (residuals is None and (not isinstance(training, ArraySource)
                                                         or training.rows > PARTIAL_RESIDUAL_ROWS)):
            return None
        rows = self._rows(None, None, None, None)
        layout = rows.fitted.design.spec if rows.is_dask else rows.fitted.engine_layout()
        parts = rows.map(chunk_sample, layout, rows.fitted.beta_raw,
                         sample_rate(rows.rows, PARTIAL_RESIDUAL_POINTS), 0, _threads(self.n_jobs))
        return join_samples(parts)

    # ------------------------------------------------------------------ persistence, plots
    def __getstate__(self) -> dict:
        # The engine layout is a compiled object; it is rebuilt from the design and the
        # column sums (deterministically, so predictions are unchanged) on first use.
        state = self.__dict__.copy()
        state.pop("_training", None)  # a reference to the caller's data, never stored
        fitted = state.get("_fitted")
        if fitted is not None:
            state["_fitted"] = dataclasses.replace(fitted, layout=None, inference=None)
        return state

    def __setstate__(self, state: dict) -> None:
        """Restores a pickled model (the engine layout is rebuilt on first use)."""
        self.__dict__.update(state)

    def save(self, path: "str | os.PathLike[str] | BinaryIO") -> None:
        """Write the fitted model to ``path`` (a file name or a binary file object) in
        velkan's model file format: arrays and plain metadata, no executable content. Read
        it back with :func:`velkan.load`; predictions are bit-identical.

        >>> import os, tempfile, numpy as np
        >>> from velkan import GAM, load
        >>> x = np.linspace(0, 1, 100)[:, None]
        >>> gam = GAM().fit(x, np.cos(3 * x[:, 0]))
        >>> path = os.path.join(tempfile.mkdtemp(), "model.velkan")
        >>> gam.save(path)
        >>> bool((load(path).predict(x) == gam.predict(x)).all())
        True
        """
        from ._io import save

        save(self, path)

    def plot(self, term: "int | str | Term | None" = None, *, ax: Any = None, rug: bool = True,
             residuals: "bool | None" = None) -> "Figure":
        """Draw the partial effect of every term (or of ``term``: its index in model order,
        the intercept counted as 0 when present, the term itself or its label), with its
        95 % band and a rug of the training data; tensor products as filled contours.
        ``residuals`` adds partial residuals (the term's effect plus the working residual)
        of a sample of about 2,000 training rows: by default when the model holds at most
        100,000 training rows in memory; True draws them for any training data (streamed
        data: one pass), False never. Returns the matplotlib figure (``pip install
        velkan[plot]``).

        >>> import numpy as np
        >>> from velkan import GAM
        >>> x = np.linspace(0, 1, 100)[:, None]
        >>> fig = GAM().fit(x, np.cos(3 * x[:, 0])).plot()  # doctest: +SKIP
        """
        from ._plot import plot

        return plot(self, term, ax=ax, rug=rug, residuals=residuals)

    def __repr__(self) -> str:
        params = []
        for name, default in (("terms", None), ("family", DEFAULT_FAMILY), ("method", "REML"),
                              ("fit_intercept", True), ("max_iter", 100), ("tol", 1e-7),
                              ("n_jobs", None), ("verbose", False), ("extrapolate", "linear"),
                              ("weights", "precision"), ("binning", "auto"),
                              ("max_bins", DEFAULT_MAX_BINS), ("temp_dir", None), ("select_terms", False)):
            value = getattr(self, name, default)
            if value is not default and value != default:
                params.append(f"{name}={value!r}")
        return f"GAM({', '.join(params)})"


def _threads(n_jobs: Any) -> int:
    """Threads for passes over the data: scikit-learn's convention (None one, -1 all)."""
    if n_jobs is None:
        return 1
    if n_jobs == -1:
        return os.cpu_count() or 1
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, (int, np.integer)) or not 1 <= n_jobs <= MAX_JOBS:
        raise ValueError(f"n_jobs must be an integer from 1 to {MAX_JOBS}, -1 (every core) or None "
                         f"(one thread), got {n_jobs!r}")
    return int(n_jobs)


def _check_choice(name: str, value: Any, choices: tuple[str, ...]) -> None:
    if not (isinstance(value, str) and value in choices):
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, got {value!r}")


def _warn_far(far: tuple[int, dict[str, int]], rows: int | None, extrapolate: str) -> None:
    """One warning for the rows of a prediction far beyond a smooth's training range
    (`far`: as `far_rows` counts them)."""
    beyond, counts = far
    if not counts:
        return
    parts = ", ".join(f"{n} for {label}" for label, n in counts.items())
    how = ("continue each smooth along its slope at the nearer end (extrapolate='constant' "
           "holds it at its value there)" if extrapolate == "linear" else
           "hold each smooth at its value at the nearer end")
    warnings.warn(f"{beyond} of {rows} rows lie beyond the training range of a smooth by more "
                  f"than {100 * EXTRAPOLATION_MARGIN:.0f} % of that range ({parts}); their predictions {how}",
                  ExtrapolationWarning, stacklevel=4)


def check_finite_predictions(fitted: Fitted, eta: np.ndarray, cols: list[np.ndarray] | None) -> None:
    """ValueError naming the first row whose linear predictor is not finite (inputs so far
    beyond the training range that linear extrapolation overflows); `cols`, the rows'
    engine input columns when at hand, name the smooths concerned."""
    bad = ~np.isfinite(eta)
    if not bad.any():
        return
    i = int(np.argmax(bad))
    far = [f"{label} at {float(cols[c][i]):.6g} (fitted on [{lo:.6g}, {hi:.6g}])"
           for label, margins in smooth_ranges(fitted.design) for c, lo, hi in margins
           if cols is not None and not lo <= cols[c][i] <= hi]
    where = f": {'; '.join(far)}; use extrapolate='constant' to hold smooths at their ends" if far else ""
    raise ValueError(f"predict: the linear predictor of row {i} is {float(eta[i])} (X or offset too far "
                     f"from the training data){where}")


def _response(fitted: Fitted, eta: Any) -> Any:
    """Means from linear predictors: an array, or a dask array mapped block by block."""
    if isinstance(eta, np.ndarray):
        return fitted.model.inverse_link(eta)
    return eta.map_blocks(_inverse_link, fitted.model, dtype=np.float64)


def _inverse_link(eta: np.ndarray, model: Any) -> np.ndarray:
    return model.inverse_link(eta)


def compare(*models: GAM) -> _checking.Comparison:
    """Compare nested models fitted on the same rows with the same family, each against the
    one before it: an approximate likelihood-ratio test of the deviance each adds over the
    previous, with degrees of freedom the difference of their effective degrees of freedom
    (corrected for the smoothing parameters' uncertainty): chi-square for a known scale, F
    for an estimated one. Models of different families or rows are refused (ValueError),
    not compared. Costs no pass over the data.

    >>> import numpy as np
    >>> import velkan
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(size=(500, 2))
    >>> y = np.sin(6 * X[:, 0]) + 0.5 * X[:, 1] + rng.normal(scale=0.3, size=500)
    >>> small = velkan.GAM(velkan.s(0)).fit(X, y)
    >>> large = velkan.GAM(velkan.s(0) + velkan.s(1)).fit(X, y)
    >>> bool(velkan.compare(small, large).rows[1].p_value < 0.01)
    True
    """
    for i, m in enumerate(models):
        if not isinstance(m, GAM):
            raise TypeError(f"model {i} is a {type(m).__name__}, not a fitted velkan GAM")
    fits = [m._check_fitted() for m in models]
    labels = [" + ".join(t.short_name for t in f.terms if t.sources) or "(intercept only)" for f in fits]
    return _checking.compare(fits, labels)

