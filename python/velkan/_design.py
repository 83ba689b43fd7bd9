"""From terms and data to the engine's model layout.

The engine reads numbered input columns of float64 values. `build_design` decides which
user columns feed them (a numeric column once, however many terms use it; a factor column
as level codes), places every smooth's knots from the training data and records what
prediction needs to make the same columns from new data.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ._terms import FactorTerm, LinearTerm, SmoothTerm, TermList

# A column whose range is below this fraction of its magnitude cannot carry a smooth: the
# basis could not tell its values apart.
RESOLUTION = 1e-12


@dataclass
class InputColumn:
    """How one engine input column is made from the user's data."""

    source: Any                        # the user's column: position (or name)
    levels: np.ndarray | None = None   # factor levels; codes are positions in it


@dataclass
class TermInfo:
    """One model term as the fitted model reports it."""

    label: str
    kind: str                          # "intercept", "linear", "factor", "smooth"
    penalties: list[int] = field(default_factory=list)
    levels: np.ndarray | None = None
    sources: tuple = ()                # the user's columns it reads


@dataclass
class Design:
    spec: list[dict]                   # engine layout specification
    inputs: list[InputColumn]
    terms: list[TermInfo]
    lams: list[float | None]           # per penalty: fixed smoothing parameter or None


def column_index(j: Any, n_features: int, what: str) -> int:
    if isinstance(j, str):
        raise ValueError(f"{what}: column {j!r} is named, but X has no column names (pass a DataFrame)")
    if j >= n_features:
        raise ValueError(f"{what}: column {j} does not exist; X has {n_features} columns")
    return int(j)


def numeric_column(X: np.ndarray, j: int, what: str) -> np.ndarray:
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


def factor_levels(col: np.ndarray, j: Any) -> np.ndarray:
    if col.dtype.kind == "f" and not np.isfinite(col).all():
        i = int(np.argmax(~np.isfinite(col)))
        raise ValueError(f"X contains NaN or infinite values (column {j}, row {i})")
    try:
        return np.unique(col)
    except TypeError:
        raise ValueError(f"f({j!r}): the values of column {j!r} cannot be ordered (mixed types)") from None


def factor_codes(col: np.ndarray, levels: np.ndarray, j: Any) -> np.ndarray:
    pos = np.clip(np.searchsorted(levels, col), 0, len(levels) - 1)
    unseen = levels[pos] != col
    if np.any(unseen):
        i = int(np.argmax(unseen))
        value = col[i].item() if isinstance(col[i], np.generic) else col[i]
        raise ValueError(f"column {j!r} has level {value!r} (row {i}), not seen when the model was fitted")
    return pos.astype(np.float64)


def margin_knots(x: np.ndarray, k: int, bs: str, period: Any, what: str, j: Any) -> np.ndarray:
    """The knots of one marginal basis from the training values of its column."""
    lo, hi = float(x.min()), float(x.max())
    if not (hi - lo > RESOLUTION * max(abs(lo), abs(hi))) or not (hi > lo):
        raise ValueError(f"{what}: column {j!r} is constant (every value is {lo!r}) and cannot carry a smooth")
    if bs == "ps":
        return np.array([lo, hi])
    if bs == "cr":
        u = np.unique(x)
        if u.size < k:
            raise ValueError(f"{what}: bs='cr' with k={k} needs at least {k} distinct values in "
                             f"column {j!r}; it has {u.size}")
        return np.quantile(u, np.linspace(0.0, 1.0, k))
    if period is None:
        start, end = lo, hi
    elif isinstance(period, (tuple, list)):
        start, end = float(period[0]), float(period[1])
    else:
        start, end = lo, lo + float(period)
    if not (end > start) or not math.isfinite(start) or not math.isfinite(end):
        raise ValueError(f"{what}: period must give an end after its start, got {period!r}")
    return np.linspace(start, end, k + 1)


def build_design(terms: TermList, X: np.ndarray, weights: np.ndarray | None,
                 fit_intercept: bool) -> tuple[Design, list[np.ndarray]]:
    """The design of `terms` on training rows X, and the engine input columns of X."""
    d = X.shape[1]
    spec: list[dict] = []
    inputs: list[InputColumn] = []
    columns: list[np.ndarray] = []
    infos: list[TermInfo] = []
    lams: list[float | None] = []
    numeric_index: dict[int, int] = {}

    def numeric(j: Any, what: str) -> tuple[int, np.ndarray]:
        idx = column_index(j, d, what)
        if idx not in numeric_index:
            numeric_index[idx] = len(columns)
            columns.append(numeric_column(X, idx, what))
            inputs.append(InputColumn(idx))
        return numeric_index[idx], columns[numeric_index[idx]]

    if fit_intercept:
        spec.append({"kind": "intercept"})
        infos.append(TermInfo("(Intercept)", "intercept"))
    for term in terms:
        what = repr(term)
        if isinstance(term, SmoothTerm):
            margins, cols = [], []
            for m, j in enumerate(term.cols):
                c, x = numeric(j, what)
                cols.append(c)
                margins.append((term.bs[m], term.k[m],
                                margin_knots(x, term.k[m], term.bs[m], term.period[m], what, j)))
            spec.append({"kind": "smooth", "columns": cols, "margins": margins})
            infos.append(TermInfo(what, "smooth", list(range(len(lams), len(lams) + len(cols))),
                                  sources=term.cols))
            lams.extend(term.lam)
        elif isinstance(term, LinearTerm):
            c, x = numeric(term.col, what)
            spec.append({"kind": "linear", "columns": [c], "center": float(np.average(x, weights=weights))})
            infos.append(TermInfo(what, "linear", sources=(term.col,)))
        elif isinstance(term, FactorTerm):
            idx = column_index(term.col, d, what)
            raw = X[:, idx]
            levels = factor_levels(raw, idx)
            if levels.size < 2:
                raise ValueError(f"{what}: column {idx} has a single level ({levels[0]!r}); "
                                 "a factor needs two or more")
            inputs.append(InputColumn(idx, levels))
            columns.append(factor_codes(raw, levels, idx))
            spec.append({"kind": "factor", "columns": [len(columns) - 1], "levels": int(levels.size)})
            infos.append(TermInfo(what, "factor", levels=levels, sources=(term.col,)))
        else:
            raise TypeError(f"unknown term {term!r}")
    if not spec:
        raise ValueError("the model has no terms")
    return Design(spec, inputs, infos, lams), columns


def engine_columns(inputs: list[InputColumn], X: np.ndarray, n_features: int) -> list[np.ndarray]:
    """The engine input columns of rows X (same user columns as at fit time)."""
    if X.shape[1] != n_features:
        raise ValueError(f"X has {X.shape[1]} columns; the model was fitted on {n_features}")
    cols = []
    for inp in inputs:
        if inp.levels is None:
            cols.append(numeric_column(X, inp.source, "predict"))
        else:
            cols.append(factor_codes(X[:, inp.source], inp.levels, inp.source))
    return cols
