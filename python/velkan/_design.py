"""From terms and data to the engine's model layout.

The engine reads numbered input columns of float64 values. `build_design` decides which
user columns feed them (a numeric column once, however many terms use it; a factor column
as level codes), has the engine place every smooth's knots from the training data (or a
first pass's summaries of it), and records what prediction needs to make the same columns
from new data. The result is a list of `velkan._engine.TermSpec`, which the engine
validates when it builds the layout.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

from . import _engine
from ._data import readable
from ._terms import BASIS_INFO, DEFAULT_BY_K, DEFAULT_MARGIN_BASIS, FactorTerm, LinearTerm, RandomTerm, SmoothTerm, TermList

# Most distinct points a thin-plate basis is built from: a reproducible sample (the points
# with the smallest hashes) when the data have more.
THIN_PLATE_POINTS = 1000
# In one column the basis is a cubic spline with a knot at each point, and 300 of them
# resolve far more than the few functions such a basis keeps: on the one-column cases of
# the defaults study the held-out error moved by at most 0.4 % against 1,000 points, for
# about a thirtieth of the eigen-decomposition's cost. A larger k takes 4 k points (up to
# THIN_PLATE_POINTS).
THIN_PLATE_POINTS_1D = 300


def thin_plate_points(d: int, k: int) -> int:
    """How many distinct points a thin-plate basis of k functions in d columns is built from
    (at most)."""
    return THIN_PLATE_POINTS if d > 1 else min(THIN_PLATE_POINTS, max(THIN_PLATE_POINTS_1D, 4 * k))
# Level code of a grouping level not seen at fit time: its random effect is zero.
UNSEEN_LEVEL = -1.0


@dataclass
class InputColumn:
    """How one engine input column is made from the user's data."""

    source: int                        # the user's column, by position
    levels: np.ndarray | None = None   # factor levels; codes are positions in it
    label: Any = None                  # how messages name the column
    random: bool = False               # a grouping column of random effects: unseen levels allowed


@dataclass
class TermInfo:
    """One model term as the fitted model reports it."""

    label: str
    kind: str                          # the engine's term kind: "intercept", "smooth", ...
    penalties: list[int] = field(default_factory=list)
    levels: np.ndarray | None = None
    sources: tuple = ()                # the user's columns it reads
    random: bool = False               # a random effect (or random curves): variance components

    @property
    def short_name(self) -> str:
        """``s(age)``, ``te(lat, lon)``, ``l(2)``, ``f(region)``; the intercept's label."""
        if not self.sources:
            return self.label
        function = self.label.partition("(")[0]
        return f"{function}({', '.join(str(c) for c in self.sources)})"


@dataclass
class Design:
    spec: list[Any]                    # the engine layout's terms (velkan._engine.TermSpec)
    inputs: list[InputColumn]
    terms: list[TermInfo]
    lams: list[float | None]           # per penalty: fixed smoothing parameter or None

    def check_inputs(self) -> None:
        """ValueError unless every term reads input columns of the kind it needs (numeric
        for smooths and linear terms, a factor column with as many levels for a factor)."""
        for t, spec in enumerate(self.spec):
            cols = [self.inputs[c] if c < len(self.inputs) else None for c in spec.columns]
            if any(c is None for c in cols):
                raise ValueError(f"term {t} reads an input column the design does not have")
            factor_at = _factor_positions(spec)
            for i, c in enumerate(cols):
                if i in factor_at:
                    if c.levels is None or len(c.levels) != spec.levels:
                        raise ValueError(f"term {t} reads a factor column with its {spec.levels} levels")
                elif c.levels is not None:
                    raise ValueError(f"term {t} reads numeric columns")


def _factor_positions(spec: Any) -> set[int]:
    """Which of a spec's input columns hold level codes."""
    if spec.kind in ("factor", "random"):
        return {0}
    if spec.levels and spec.by:
        return {len(spec.columns) - 1}
    return set()


def numeric_values(col: np.ndarray, label: Any, what: str, first_row: int = 0) -> np.ndarray:
    """A column as finite float64 values the engine can read in place (NaN, infinity and
    non-numeric data refused, numbers written as text included); `first_row` is the
    position of its first row in the whole data, for messages."""
    if col.dtype != np.float64:
        text = col.dtype.kind in "USa" or (col.dtype.kind == "O" and label_kind(col) != "number")
        try:
            if text or col.dtype.kind not in "biufO":
                raise TypeError
            col = col.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{what}: column {label!r} is not numeric; use f({label!r}) for a "
                             "categorical column") from None
    bad = ~np.isfinite(col)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"X contains NaN or infinite values (column {label!r}, row {first_row + i})")
    return readable(col)


def label_kind(values: np.ndarray) -> str:
    """"number" (numbers and booleans), "text" or "other" (dates, mixtures): what a column
    of labels holds."""
    if values.dtype.kind in "biuf":
        return "number"
    if values.dtype.kind in "USa":
        return "text"
    if values.dtype.kind != "O":
        return "other"
    # The dtype NumPy infers for the distinct values says what they are, without a loop in
    # Python or an array of every row's text.
    try:
        inferred = np.array(_engine.distinct_labels(values)).dtype.kind if values.size else "f"
    except TypeError:  # unhashable objects are no labels
        return "other"
    return {"b": "number", "i": "number", "u": "number", "f": "number", "U": "text"}.get(inferred, "other")


def factor_levels(col: np.ndarray, j: Any, first_row: int = 0) -> np.ndarray:
    if col.dtype.kind == "f" and not np.isfinite(col).all():
        i = int(np.argmax(~np.isfinite(col)))
        raise ValueError(f"X contains NaN or infinite values (column {j!r}, row {first_row + i})")
    try:
        if col.dtype == object:
            # Python objects (text labels): one hashed pass and a sort of the distinct values,
            # not a sort of every row's object.
            return np.array(sorted(_engine.distinct_labels(col)), dtype=object)
        return np.unique(col)
    except TypeError:
        raise ValueError(f"f({j!r}): the values of column {j!r} cannot be ordered (mixed types)") from None


def factor_codes(col: np.ndarray, levels: np.ndarray, j: Any, first_row: int = 0) -> np.ndarray:
    """The level codes of a factor column (positions in `levels`); a value not among the
    levels, or labels of another kind (numbers where the levels are text), is refused
    naming the column. Text labels are matched through their distinct values, so that no
    copy of the column at the levels' (file-given) width is made."""
    kind, expected = label_kind(col), label_kind(levels)
    if kind != expected:
        raise ValueError(f"column {j!r} holds {_KIND_WORDS[kind]}, but the model's levels of it are "
                         f"{_KIND_WORDS[expected]} ({_some(levels)}); pass the kind of values it was fitted on")
    if kind == "text":
        if col.dtype == object:
            pos = object_positions(col, levels, -1.0)
        else:
            table = {level: code for code, level in enumerate(levels.tolist())}
            distinct, inverse = np.unique(col, return_inverse=True)
            pos = np.array([table.get(v, -1) for v in distinct.tolist()], dtype=np.int64)[inverse.reshape(-1)]
        found = pos >= 0
    else:
        try:
            pos, found = numeric_positions(col, levels)
        except TypeError:
            raise ValueError(f"column {j!r}: its values cannot be compared with the model's levels of it "
                             f"({_some(levels)}); pass the kind of values it was fitted on") from None
    if not found.all():
        i = int(np.argmax(~found))
        value = col[i].item() if isinstance(col[i], np.generic) else col[i]
        raise ValueError(f"column {j!r} has level {value!r} (row {first_row + i}), not seen when the "
                         "model was fitted")
    return pos.astype(np.float64)


_KIND_WORDS = {"number": "numbers", "text": "text", "other": "values that are neither numbers nor text"}


def _some(levels: np.ndarray, shown: int = 3) -> str:
    values = [v.item() if isinstance(v, np.generic) else v for v in levels[:shown]]
    return ", ".join(map(repr, values)) + (", ..." if len(levels) > shown else "")


def place_knots(bs: str, k: int, lo: float, hi: float, distinct: Any, period: Any, what: str,
                label: Any, cap: tuple[bool, bool] = (False, False)) -> Any:
    """The spec of one marginal basis (`_engine.MarginSpec`: basis, size, knots) from its
    column's range and, for bases placing knots at quantiles, `distinct()`: the sorted
    distinct values, or a sorted sample of them that keeps the extremes (its quantiles stand
    in for those of all distinct values). `cap`: whether k and bs were the defaults. With a
    default k, quantile knots closer than half the even spacing are thinned (the engine's
    `place_knots`), so the basis may have fewer functions. A column of fewer distinct
    values than such a basis needs makes a default k one per distinct value; failing that,
    a default basis is replaced by the tensor margins' default (whose knots need no
    distinct values), with DEFAULT_BY_K functions if k was a default too. An explicit k and basis are refused by the engine instead."""
    if period is None:
        period_values = None
    elif isinstance(period, (tuple, list)):
        period_values = np.asarray(period, dtype=np.float64)
    else:
        period_values = np.asarray([period], dtype=np.float64)
    values = distinct() if BASIS_INFO[bs].needs_distinct else None
    default_k, default_bs = cap
    if values is not None and len(values) < k and not BASIS_INFO[bs].periodic:
        if default_k and len(values) >= BASIS_INFO[bs].min_k:
            k = len(values)
        elif default_bs:
            bs, k, values = DEFAULT_MARGIN_BASIS, DEFAULT_BY_K if default_k else k, None
    knots = _engine.place_knots(bs, k, float(lo), float(hi), values, period_values, what, repr(label),
                                default_size=default_k)
    if BASIS_INFO[bs].needs_distinct:
        k = len(knots)  # a default size may have thinned quantile knots
    if BASIS_INFO[bs].periodic and hi - lo > (knots[-1] - knots[0]) * (1 + 1e-12):
        warnings.warn(f"{what}: column {label!r} spans {hi - lo:.6g}, more than the period "
                      f"{knots[-1] - knots[0]:.6g}: its values are wrapped into one period", UserWarning,
                      stacklevel=6)
    return _engine.MarginSpec(bs, k, knots)


class ExactStats:
    """What the design needs to know about the training columns, computed exactly from
    columns held in memory. (A streaming source provides the same from a first pass.)"""

    def __init__(self, columns: Any, weights: np.ndarray | None) -> None:
        self.columns = columns
        self.weights = weights
        self.rows = columns.rows if weights is None else int(np.count_nonzero(weights))

    def numeric(self, position: int, what: str) -> np.ndarray:
        return numeric_values(self.columns.column(position), self.columns.label(position), what)

    def knots(self, position: int, k: int, bs: str, period: Any, what: str, cap: tuple = (False, False)) -> Any:
        # Rows of zero weight are no part of the fit: they place no knots.
        x = self.numeric(position, what)
        if self.weights is not None:
            x = x[self.weights > 0]
        return place_knots(bs, k, float(x.min()), float(x.max()), lambda: np.unique(x), period, what,
                           self.columns.label(position), cap)

    def mean(self, position: int, what: str) -> float:
        return float(np.average(self.numeric(position, what), weights=self.weights))

    def levels(self, position: int) -> np.ndarray:
        return factor_levels(self.columns.column(position), self.columns.label(position))

    def points(self, positions: list[int], k: int, what: str) -> tuple[np.ndarray, np.ndarray]:
        cols = [self.numeric(p, what) for p in positions]
        if self.weights is not None:
            cols = [c[self.weights > 0] for c in cols]  # rows of zero weight place no points
        sample = PointSample(len(positions), thin_plate_points(len(positions), k))
        sample.update(np.column_stack(cols))
        box = np.array([c.min() for c in cols] + [c.max() for c in cols])
        return sample.points(), box


class PointSample:
    """The distinct rows of a few columns with the smallest hashes (at most `size`, in the
    order of their hashes): uniform over the distinct points whatever their multiplicities,
    and the same however the rows are ordered or chunked. Its first m rows are the sample
    of size m."""

    def __init__(self, d: int, size: int = THIN_PLATE_POINTS) -> None:
        self.size = size
        self.hashes = np.empty(0, dtype=np.uint64)
        self.values = np.empty((0, d))

    def update(self, x: np.ndarray, h: np.ndarray | None = None) -> None:
        """Adds rows x (with their hashes h, or hashed here)."""
        if h is None:  # the engine keeps the rows' own sample: the first `size` distinct hashes
            h, rows = _engine.point_sample(np.ascontiguousarray(x, dtype=np.float64), self.size)
            x = x[rows]
        size = self.size
        if self.hashes.size == size:
            keep = h < self.hashes[-1]
            x, h = x[keep], h[keep]
        h = np.concatenate([self.hashes, h])
        v = np.concatenate([self.values, x + 0.0])
        h, first = np.unique(h, return_index=True)
        self.hashes, self.values = h[:size], v[first[:size]]

    def merge(self, other: "PointSample") -> None:
        self.update(other.values, other.hashes)

    def points(self, size: int | None = None) -> np.ndarray:
        return np.ascontiguousarray(self.values[:size])


class _Builder:
    """Turns terms into engine specs, one input column per numeric column used and one per
    factor use (so that only a random effect's grouping column accepts unseen levels)."""

    def __init__(self, columns: Any, stats: Any, select: bool) -> None:
        self.columns, self.stats, self.select = columns, stats, select
        self.spec: list[Any] = []
        self.inputs: list[InputColumn] = []
        self.infos: list[TermInfo] = []
        self.lams: list[float | None] = []
        self.numeric_index: dict[int, int] = {}
        self.categorical = getattr(columns, "categorical", lambda position: False)

    def numeric(self, key: Any, what: str) -> tuple[int, int]:
        pos = self.columns.resolve(key, what)
        if self.categorical(pos):
            label = self.columns.label(pos)
            raise ValueError(f"{what}: column {label!r} is categorical; use f({label!r}) for it")
        if pos not in self.numeric_index:
            self.numeric_index[pos] = len(self.inputs)
            self.inputs.append(InputColumn(pos, label=self.columns.label(pos)))
        return self.numeric_index[pos], pos

    def is_factor(self, key: Any, what: str) -> bool:
        pos = self.columns.resolve(key, what)
        return bool(self.categorical(pos)) or self.columns.column(pos).dtype.kind not in "iuf"

    def factor(self, key: Any, what: str, random: bool = False) -> tuple[int, np.ndarray]:
        pos = self.columns.resolve(key, what)
        levels = self.stats.levels(pos)
        if levels.size < (1 if random else 2):
            raise ValueError(f"{what}: column {self.columns.label(pos)!r} has a single level "
                             f"({_some(levels)}); a factor needs two or more")
        self.inputs.append(InputColumn(pos, levels, self.columns.label(pos), random=random))
        return len(self.inputs) - 1, levels

    def add(self, spec: Any, info: TermInfo, lams: tuple | list) -> None:
        """Adds a term with `lams`, one fixed smoothing parameter (or None) per penalty."""
        info.penalties = list(range(len(self.lams), len(self.lams) + len(lams)))
        self.spec.append(spec)
        self.infos.append(info)
        self.lams.extend(lams)

    def smooth(self, term: SmoothTerm, what: str) -> None:
        if not BASIS_INFO[term.bs[0]].tensor_margin:
            return self.thin_plate(term, what)
        margins, cols = [], []
        for m, key in enumerate(term.cols):
            c, pos = self.numeric(key, what)
            cols.append(c)
            margins.append(self.stats.knots(pos, term.k[m], term.bs[m], term.period[m], what,
                                           (term.default_k, term.default_bs)))
        by, levels, random = "", 0, False
        if term.by is not None:
            if self.is_factor(term.by, what):
                random = term.shrink
                c, lv = self.factor(term.by, what, random=random)
                by, levels = ("random" if random else "factor"), int(lv.size)
            else:
                if term.shrink:
                    raise ValueError(f"{what}: shrink=True needs a categorical by= column")
                c, _ = self.numeric(term.by, what)
                by = "numeric"
            cols.append(c)
        spec = _engine.TermSpec("smooth", cols, margins, levels=levels, by=by,
                                interaction_only=term.interaction_only, select=self.select,
                                constraint=term.constraint or "")
        # Per level (factor by) the margins' penalties, then any null-space penalty (free).
        n = len(_engine.Layout([spec]).penalty_terms)
        groups = levels if by == "factor" else 1
        lams = [term.lam[m] if m < len(term.lam) else None for m in range(n // groups)] * groups
        # A default size or basis the column could not hold was changed (place_knots): the
        # term is reported as it was fitted.
        fitted = replace(term, k=tuple(m.k for m in margins), bs=tuple(m.basis for m in margins))
        label = repr(fitted) if fitted != term else what
        self.add(spec, TermInfo(label, "smooth", sources=term.columns, random=random), lams)

    def thin_plate(self, term: SmoothTerm, what: str) -> None:
        cols, positions = [], []
        for key in term.cols:
            c, pos = self.numeric(key, what)
            cols.append(c)
            positions.append(pos)
        points, box = self.stats.points(positions, term.k[0], what)
        k = term.k[0]
        if term.default_k:  # a default k takes at most one function per distinct point
            k = max(min(k, len(points)), BASIS_INFO[term.bs[0]].min_k + len(cols) - 1)
        spec = _engine.thin_plate_spec(cols, points, k, box, what, self.select)
        label = repr(replace(term, k=(k,))) if k != term.k[0] else what
        # The wiggliness penalty takes the term's lam; a null-space penalty (select) is free.
        n = len(_engine.Layout([spec]).penalty_terms)
        self.add(spec, TermInfo(label, "thin_plate", sources=term.cols), list(term.lam) + [None] * (n - 1))

    def random(self, term: RandomTerm, what: str) -> None:
        g, levels = self.factor(term.col, what, random=True)
        cols = [g]
        if term.slope is not None:
            cols.append(self.numeric(term.slope, what)[0])
        spec = _engine.TermSpec("random", cols, levels=int(levels.size))
        self.add(spec, TermInfo(what, "random", levels=levels, sources=term.columns, random=True),
                 (term.lam,))


def build_design(terms: TermList, columns: Any, stats: Any, fit_intercept: bool,
                 select: bool = False) -> Design:
    """The design of `terms`: `columns` resolves the terms' column references (position or
    name), `stats` supplies knots, means, factor levels and point samples of the training
    columns; `select` adds a null-space penalty to every smooth."""
    b = _Builder(columns, stats, select)
    if fit_intercept:
        b.add(_engine.TermSpec("intercept"), TermInfo("(Intercept)", "intercept"), ())
    for term in terms:
        what = repr(term)
        if any(info.label == what for info in b.infos):
            raise ValueError(f"terms: {what} appears twice in the model; give each term once")
        if isinstance(term, SmoothTerm):
            b.smooth(term, what)
        elif isinstance(term, RandomTerm):
            b.random(term, what)
        elif isinstance(term, LinearTerm):
            c, pos = b.numeric(term.col, what)
            b.add(_engine.TermSpec("linear", [c], center=b.stats.mean(pos, what)),
                  TermInfo(what, "linear", sources=(term.col,)), ())
        elif isinstance(term, FactorTerm):
            pos = b.columns.resolve(term.col, what)
            rows = getattr(b.stats, "rows", 0)
            levels = b.stats.levels(pos)
            if levels.size >= MIN_CROWDED_LEVELS and levels.size >= FACTOR_LEVELS_PER_ROW * rows > 0:
                warnings.warn(f"{what}: column {b.columns.label(pos)!r} has {levels.size} levels in {rows} "
                              "rows, one coefficient for about every row; for a continuous column use "
                              f"s({b.columns.label(pos)!r})", UserWarning, stacklevel=5)
            c, levels = b.factor(term.col, what)
            b.add(_engine.TermSpec("factor", [c], levels=int(levels.size)),
                  TermInfo(what, "factor", levels=levels, sources=(term.col,)), ())
        else:
            raise TypeError(f"unknown term {term!r}")
    if not b.spec:
        raise ValueError("the model has no terms")
    return Design(b.spec, b.inputs, b.infos, b.lams)


# Numeric levels up to this many are matched by the engine's bin coder (its limit of bins).
MAX_CODED_LEVELS = 4096
# A factor with at least this many levels per row (and MIN_CROWDED_LEVELS levels) is
# worth a warning: a continuous column given to f(), say.
FACTOR_LEVELS_PER_ROW = 0.5
MIN_CROWDED_LEVELS = 5


def engine_columns(inputs: list[InputColumn], columns: Any, n_features: int,
                   first_row: int = 0, population: bool = False) -> list[np.ndarray]:
    """The engine input columns of some rows (the same user columns as at fit time);
    `first_row` is the position of the first of them in the whole data, for messages. A
    random effect's level not seen at fit time gets the unseen code (its effect is zero,
    the population value) with one warning; `population` gives every row that code
    without reading the grouping columns."""
    if columns.n_features != n_features:
        raise ValueError(f"X has {columns.n_features} columns; the model was fitted on {n_features}")
    out = []
    unseen: dict[Any, int] = {}
    for inp in inputs:
        if inp.random and population:
            out.append(np.full(columns.rows, UNSEEN_LEVEL))
            continue
        col = columns.column(inp.source)
        if inp.levels is None:
            out.append(numeric_values(col, inp.label, "predict", first_row))
        elif inp.random:
            codes = random_codes(col, inp.levels)
            unseen[inp.label] = int(np.sum(codes == UNSEEN_LEVEL))
            out.append(codes)
        else:
            out.append(factor_codes(col, inp.levels, inp.label, first_row))
    if any(unseen.values()):
        which = ", ".join(f"{count} row(s) of column {label!r}" for label, count in unseen.items() if count)
        warnings.warn(f"{which} have levels not seen when the model was fitted; their random effects are "
                      "set to zero (the population prediction)", UserWarning, stacklevel=5)
    return out


def object_positions(col: np.ndarray, levels: np.ndarray, missing: float) -> np.ndarray:
    """float64 positions in `levels` of a column of Python objects (text labels), `missing`
    for a value not among them: one hashed lookup a row, in the engine."""
    return _engine.label_positions(col, np.asarray(levels, dtype=object), float(missing))


def numeric_positions(col: np.ndarray, levels: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Positions in sorted numeric `levels` of a numeric column (the largest level at or
    below each value) and whether each value is that level. Up to MAX_CODED_LEVELS levels
    the engine codes the values as bins edged by the levels (a few nanoseconds a value,
    where a bisection of thousands of levels costs tens); else, or for values that are not
    finite, a NumPy search."""
    if col.dtype.kind in "iuf" and levels.dtype.kind in "iuf" and 2 <= len(levels) <= MAX_CODED_LEVELS \
            and (levels.dtype.kind == "f" or max(abs(int(levels[0])), abs(int(levels[-1]))) <= 2**53):
        values = np.asarray(levels, dtype=np.float64)  # exactly: whole levels up to 2^53
        x = np.ascontiguousarray(col, dtype=np.float64)
        codes, bad = _engine.ColumnBins(values[1:], values, True).codes(x, 1)
        if bad == len(x):
            pos = codes.astype(np.intp)
            return pos, levels[pos] == col
    pos = np.clip(np.searchsorted(levels, col), 0, len(levels) - 1)
    return pos, levels[pos] == col


def random_codes(col: np.ndarray, levels: np.ndarray) -> np.ndarray:
    """Level codes of a grouping column, unseen levels coded UNSEEN_LEVEL."""
    if col.dtype == object and levels.dtype == object:
        return object_positions(col, levels, UNSEEN_LEVEL)
    pos, found = numeric_positions(col, levels)
    codes = pos.astype(np.float64)
    codes[~found] = UNSEEN_LEVEL
    return codes


# Values of each numeric input column a fitted model keeps for the rug of its plots.
RUG_SIZE = 1000


def rug_sample(design: Design, columns: list[np.ndarray],
               extremes: list[tuple[float, float]] | None = None) -> list[np.ndarray | None]:
    """Per engine input column: up to RUG_SIZE of its training values, sorted, always with
    the smallest and largest (None for factor columns); `extremes`: each column's smallest
    and largest value when already known."""
    out: list[np.ndarray | None] = []
    rng = np.random.default_rng(0)
    for c, (inp, values) in enumerate(zip(design.inputs, columns)):
        if inp.levels is not None:
            out.append(None)
            continue
        if values.size > RUG_SIZE:
            picked = values[rng.integers(0, values.size, RUG_SIZE - 2)]
            lo, hi = (values.min(), values.max()) if extremes is None else extremes[c]
            values = np.concatenate([picked, [lo, hi]])
        out.append(np.sort(values))
    return out


# A prediction warns about rows beyond a smooth's training range by more than this share
# of the range.
EXTRAPOLATION_MARGIN = 0.1


def smooth_ranges(design: Design) -> list[tuple[str, list[tuple[int, float, float]]]]:
    """Per smooth term: its label and, per margin with a training range (not periodic),
    the engine input column and the range (the first and last knot)."""
    out = []
    for spec, info in zip(design.spec, design.terms):
        margins = [(c, float(m.knots[0]), float(m.knots[-1])) for c, m in zip(spec.columns, spec.margins)
                   if not BASIS_INFO[m.basis].periodic]
        if margins:
            out.append((info.short_name, margins))
    return out


def far_rows(design: Design, columns: list[np.ndarray]) -> tuple[int, dict[str, int]]:
    """How many rows of `columns` (engine input columns) lie beyond a smooth's training
    range by more than EXTRAPOLATION_MARGIN of the range, and how many per such smooth."""
    rows = len(columns[0]) if columns else 0
    anywhere = np.zeros(rows, dtype=bool)
    counts = {}
    for label, margins in smooth_ranges(design):
        far = np.zeros(rows, dtype=bool)
        for c, lo, hi in margins:
            slack = EXTRAPOLATION_MARGIN * (hi - lo)
            far |= (columns[c] < lo - slack) | (columns[c] > hi + slack)
        if far.any():
            counts[label] = int(np.count_nonzero(far))
            anywhere |= far
    return int(np.count_nonzero(anywhere)), counts
