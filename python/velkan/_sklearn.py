"""scikit-learn estimators: `GAMRegressor` (gaussian, gamma, poisson) and `GAMClassifier`
(binomial).

They are `velkan.GAM` underneath (summary, plots, saving, partial effects all work) with
scikit-learn's conventions on top: parameters only in ``__init__``, input validation and
feature-name checks as scikit-learn's own estimators do them, ``fit(X, y,
sample_weight)``, fitted attributes ending in ``_``. They pass
``sklearn.utils.estimator_checks.check_estimator`` and work in ``Pipeline``,
``ColumnTransformer``, ``GridSearchCV``, ``cross_val_score`` and after ``clone``.

Importing this module needs scikit-learn; ``import velkan`` does not.
"""

from __future__ import annotations

import copy
import dataclasses
from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.multiclass import check_classification_targets, type_of_target
from sklearn.utils.validation import check_is_fitted, validate_data

from ._binning import DEFAULT_MAX_BINS
from ._data import ArraySource
from ._design import label_kind
from ._families import CLASSES, DEFAULT, Family, as_family
from ._frames import is_frame
from ._gam import GAM, DataLike, Params
from ._terms import FactorTerm, RandomTerm, SmoothTerm, TermList, TermsLike, default_terms

# Families of responses that are not proportions (the regressor's), and the classifier's.
REGRESSION_FAMILIES = tuple(name for name, cls in CLASSES.items() if not cls().info.proportion)
CLASSIFIER_FAMILY = next(name for name, cls in CLASSES.items() if cls().info.proportion)


class _SklearnGAM(GAM):
    """What both estimators share: validation of X in scikit-learn's manner, the ``k``,
    ``bs`` and ``lam`` shortcuts, tags and feature names out."""

    k: int | None
    bs: str | None
    lam: float | None
    _numeric_target: bool

    def _check_params(self) -> Params:
        params = super()._check_params()
        terms = params.terms
        if terms is not None and (self.k is not None or self.bs is not None):
            raise ValueError("k and bs set the default smooths; with explicit terms give them in "
                             "each s() / te() term")
        if terms is not None and self.lam is not None:
            terms = TermList(_with_lam(t, self.lam) for t in terms)
        # scikit-learn passes y separately: a formula's response is only a name here.
        return params._replace(terms=terms, response=None)

    def _default_terms(self, columns: Any) -> TermList:
        return default_terms(columns, k=self.k, bs=self.bs, lam=self.lam)

    def _dtype(self, params: Params) -> Any:
        # Arrays are numeric unless a factor term may read labels from them.
        factors = params.terms is not None and any(
            isinstance(t, (FactorTerm, RandomTerm)) or getattr(t, "by", None) is not None for t in params.terms)
        return None if factors else "numeric"

    def _refuse_text(self, X: Any, params: Params) -> None:
        """A column of text where the model reads numbers is refused naming it and the
        factor term that would read it (scikit-learn's own message names neither)."""
        if self._dtype(params) != "numeric" or not isinstance(X, (np.ndarray, list, tuple)):
            return
        arr = np.asarray(X, dtype=object) if not isinstance(X, np.ndarray) else X
        if arr.ndim != 2 or arr.dtype.kind not in "OUS":
            return
        for j in range(arr.shape[1]):
            if label_kind(arr[:, j]) == "text":
                text = np.array([isinstance(v, (str, bytes, np.str_)) for v in arr[:, j].tolist()])
                i = int(np.argmax(text))
                raise ValueError(f"X: column {j} holds text ({arr[i, j]!r} in row {i}), and the model reads "
                                 f"numbers from it; for a categorical column give the terms, with f({j}) "
                                 f"for it, as in {type(self).__name__}('s(0) + f({j})')")

    def _validate_fit(self, X: Any, y: Any, params: Params) -> tuple[Any, np.ndarray]:
        """X and y checked as scikit-learn checks them (on a copy: a failed fit changes no
        attribute); a data frame keeps its columns and dtypes for velkan to read by name."""
        self._refuse_text(X, params)
        probe = copy.copy(self)
        if is_frame(X) and isinstance(X, Mapping):
            if y is None:
                raise ValueError(f"This {type(self).__name__} estimator requires y to be passed, "
                                 "but the target y is None.")
        elif is_frame(X):
            _, y = validate_data(probe, X, y, skip_check_array=True)
        else:
            X, y = validate_data(probe, X, y, dtype=self._dtype(params), ensure_min_samples=2,
                                 y_numeric=self._numeric_target)
        y = np.asarray(y)
        return X, (y.ravel() if y.ndim == 2 and y.shape[1] == 1 else y)

    def _fit_validated(self, X: Any, y: Any, sample_weight: Any, offset: Any) -> Any:
        params = self._check_params()
        X, y = self._validate_fit(X, y, params)
        y, attributes = self._encode_target(y, sample_weight)
        self._fit_source(ArraySource(X, y, sample_weight, offset), params)
        for name, value in attributes.items():
            setattr(self, name, value)
        return self

    def _encode_target(self, y: np.ndarray, sample_weight: Any) -> tuple[np.ndarray, dict]:
        """The response the family models, and attributes the fit sets with it."""
        return y, {}

    def _checked_rows(self, X: Any) -> Any:
        """New rows checked as scikit-learn checks them (column count and names)."""
        check_is_fitted(self)
        if is_frame(X) and not isinstance(X, Mapping):
            validate_data(self, X, reset=False, skip_check_array=True)
        elif not is_frame(X):
            params = self._check_params()
            self._refuse_text(X, params)
            X = validate_data(self, X, reset=False, dtype=self._dtype(params))
        return X

    def _link(self, X: Any, offset: Any = None) -> np.ndarray:
        return GAM.predict(self, self._checked_rows(X), offset=offset, type="link")

    def get_feature_names_out(self, input_features: Any = None) -> np.ndarray:
        """The model's terms in order, without the intercept: ``s(age)``, ``te(lat, lon)``,
        ``f(region)``, ... (the names ``summary()`` and ``plot()`` use).

        >>> import numpy as np
        >>> from velkan import GAMRegressor
        >>> rng = np.random.default_rng(0)
        >>> X = rng.uniform(size=(100, 2))
        >>> y = np.sin(4 * X[:, 0]) + X[:, 1] ** 2 + rng.normal(scale=0.1, size=100)
        >>> GAMRegressor().fit(X, y).get_feature_names_out()
        array(['s(0)', 's(1)'], dtype=object)
        """
        check_is_fitted(self)
        return np.asarray([t.short_name for t in self._fitted.terms if t.sources], dtype=object)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()  # type: ignore[misc]  # from BaseEstimator
        tags.input_tags.allow_nan = False
        tags.input_tags.sparse = False
        return tags


def _with_lam(term: Any, lam: float) -> Any:
    if isinstance(term, SmoothTerm):
        return dataclasses.replace(term, lam=tuple(lam if v is None else v for v in term.lam))
    if isinstance(term, RandomTerm) and term.lam is None:
        return dataclasses.replace(term, lam=lam)
    return term


_PARAMS_DOC = """
    Parameters
    ----------
    terms : str, term, sum of terms, list of terms, or None
        The model, as for :class:`velkan.GAM` (a formula's response is only a name here:
        ``y`` is passed to ``fit``). None: ``s()`` for every numeric column and ``f()`` for
        every categorical, string or boolean column of a DataFrame.
    {family}method : {{"REML", "PQL", "GCV", "UBRE"}}
        Smoothing-parameter criterion, as for :class:`velkan.GAM`.
    k, bs : int, str or None
        Basis size and type of the default smooths (``terms=None``); None: 10 and "ps".
    lam : float or None
        A fixed smoothing parameter for every smooth that does not fix its own; None
        estimates them.
    fit_intercept, max_iter, tol, n_jobs, verbose, extrapolate, weights, binning, max_bins
        As for :class:`velkan.GAM`. ``weights="frequency"`` makes integer sample weights
        fit exactly as the repeated rows do (scikit-learn's sample-weight equivalence).
"""


class GAMRegressor(RegressorMixin, BaseEstimator, _SklearnGAM):
    __doc__ = """A generalized additive model as a scikit-learn regressor.
""" + _PARAMS_DOC.format(family=f"""family : str or Family
        Response distribution, as for :class:`velkan.GAM`: one of {", ".join(map(repr, REGRESSION_FAMILIES))}
        or a family object of one of them.
    """) + """
    Attributes
    ----------
    coef_, lambda_, scale_, edf_, deviance_, converged_, n_iter_
        As for :class:`velkan.GAM`.
    n_features_in_ : int
        Number of columns seen in ``fit``.
    feature_names_in_ : ndarray of str
        Their names, when ``X`` had string column names.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.model_selection import cross_val_score
    >>> from velkan import GAMRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(size=(300, 2))
    >>> y = np.sin(6 * X[:, 0]) + X[:, 1] + rng.normal(scale=0.1, size=300)
    >>> bool(cross_val_score(GAMRegressor(), X, y, cv=3).mean() > 0.9)
    True
    """

    _numeric_target = True

    def __init__(self, terms: TermsLike = None, family: "str | Family" = DEFAULT, method: str = "REML",
                 k: int | None = None, bs: str | None = None, lam: float | None = None,
                 fit_intercept: bool = True, max_iter: int = 100, tol: float = 1e-7,
                 n_jobs: int | None = None, verbose: bool = False, extrapolate: str = "linear",
                 weights: str = "precision", binning: Any = "auto",
                 max_bins: int = DEFAULT_MAX_BINS, select_terms: bool = False) -> None:
        self.terms = terms
        self.select_terms = select_terms
        self.family = family
        self.method = method
        self.k = k
        self.bs = bs
        self.lam = lam
        self.fit_intercept = fit_intercept
        self.max_iter = max_iter
        self.tol = tol
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.extrapolate = extrapolate
        self.weights = weights
        self.binning = binning
        self.max_bins = max_bins

    def _check_params(self) -> Params:
        params = super()._check_params()
        if params.family.info.proportion:
            raise ValueError(f"family must be one of {', '.join(map(repr, REGRESSION_FAMILIES))}; "
                             f"got {self.family!r}; use GAMClassifier for binary targets")
        return params

    # scikit-learn's fit takes y always (a formula's response is not read from X here).
    def fit(self, X: DataLike, y: ArrayLike, sample_weight: ArrayLike | None = None,  # type: ignore[override]
            offset: ArrayLike | None = None) -> "GAMRegressor":
        """Fit the model; returns ``self``. ``sample_weight`` and ``offset`` as for
        :meth:`velkan.GAM.fit`."""
        return self._fit_validated(X, y, sample_weight, offset)

    def predict(self, X: DataLike, offset: ArrayLike | None = None, type: str = "response",
                return_std: bool = False) -> Any:
        """Predicted means (``type="response"``) or linear predictors (``type="link"``);
        with ``return_std=True`` also their standard errors on the link scale, as for
        :meth:`velkan.GAM.predict`."""
        if type not in ("response", "link"):
            raise ValueError(f"type must be 'response' or 'link', got {type!r}")
        if return_std:
            return GAM.predict(self, self._checked_rows(X), offset=offset, type=type, return_std=True)
        eta = self._link(X, offset)
        return eta if type == "link" else self._fitted.model.inverse_link(eta)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        try:
            tags.target_tags.positive_only = as_family(self.family).info.support_lower >= 0.0
        except ValueError:
            pass  # an invalid family is reported by fit
        return tags


class GAMClassifier(ClassifierMixin, BaseEstimator, _SklearnGAM):
    __doc__ = """A generalized additive model as a scikit-learn binary classifier
    (binomial family, logit link).
""" + _PARAMS_DOC.format(family="") + """
    Attributes
    ----------
    classes_ : ndarray
        The two class labels; ``predict_proba[:, 1]`` is the probability of ``classes_[1]``.
    coef_, lambda_, edf_, deviance_, converged_, n_iter_, n_features_in_, feature_names_in_
        As for :class:`GAMRegressor`.

    More than two classes: wrap it, ``OneVsRestClassifier(GAMClassifier())``.

    Examples
    --------
    >>> import numpy as np
    >>> from velkan import GAMClassifier
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(-2, 2, size=(400, 2))
    >>> y = np.where(X[:, 0] ** 2 + X[:, 1] + rng.logistic(size=400) > 1, "yes", "no")
    >>> clf = GAMClassifier().fit(X, y)
    >>> clf.classes_
    array(['no', 'yes'], dtype='<U3')
    >>> clf.predict_proba(X[:2]).shape
    (2, 2)
    """

    family = CLASSIFIER_FAMILY
    _numeric_target = False
    _saved_attributes = ("classes_",)

    def __init__(self, terms: TermsLike = None, method: str = "REML", k: int | None = None,
                 bs: str | None = None, lam: float | None = None, fit_intercept: bool = True,
                 max_iter: int = 100, tol: float = 1e-7, n_jobs: int | None = None,
                 verbose: bool = False, extrapolate: str = "linear", weights: str = "precision",
                 binning: Any = "auto", max_bins: int = DEFAULT_MAX_BINS,
                 select_terms: bool = False) -> None:
        self.terms = terms
        self.select_terms = select_terms
        self.method = method
        self.k = k
        self.bs = bs
        self.lam = lam
        self.fit_intercept = fit_intercept
        self.max_iter = max_iter
        self.tol = tol
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.extrapolate = extrapolate
        self.weights = weights
        self.binning = binning
        self.max_bins = max_bins

    def fit(self, X: DataLike, y: ArrayLike, sample_weight: ArrayLike | None = None,  # type: ignore[override]
            offset: ArrayLike | None = None) -> "GAMClassifier":
        """Fit the model to two classes; returns ``self``."""
        return self._fit_validated(X, y, sample_weight, offset)

    def _encode_target(self, y: np.ndarray, sample_weight: Any) -> tuple[np.ndarray, dict]:
        check_classification_targets(y)
        kind = type_of_target(y, input_name="y")
        if kind != "binary":
            raise ValueError(f"Only binary classification is supported. The type of the target is "
                             f"{kind}. For more classes use OneVsRestClassifier(GAMClassifier())")
        classes, codes = np.unique(y, return_inverse=True)
        if sample_weight is not None and classes.size == 2:
            w = np.asarray(sample_weight, dtype=np.float64)
            if w.shape == codes.shape and (w > 0).any():
                present = [(w[codes == c] > 0).any() for c in (0, 1)]
                classes = classes[present]
        if classes.size != 2:
            raise ValueError(f"GAMClassifier needs two classes in y (with positive sample_weight); "
                             f"it has {classes.size} class")
        return codes.astype(np.float64), {"classes_": classes}

    def decision_function(self, X: DataLike, offset: ArrayLike | None = None) -> np.ndarray:
        """The linear predictor (log-odds of ``classes_[1]``)."""
        return self._link(X, offset)

    def predict_proba(self, X: DataLike, offset: ArrayLike | None = None) -> np.ndarray:
        """Class probabilities, one column per class in ``classes_``."""
        eta = self._link(X, offset)
        p = self._fitted.model.inverse_link(eta)
        return np.column_stack([1.0 - p, p])

    def predict(self, X: DataLike, offset: ArrayLike | None = None) -> np.ndarray:  # type: ignore[override]
        """The more probable class of each row."""
        positive = self._link(X, offset) > 0.0
        return self.classes_[positive.astype(int)]

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_class = False
        return tags
