"""What the design needs to know about whole training columns, gathered chunk by chunk.

A streamed fit cannot look at a whole column at once, so a first pass over the data
collects, for the columns the model's terms use: the range and (weighted) sum of every
numeric column, the levels of every factor column, and the distinct values of every
column that carries a bs="cr" smooth (whose knots are quantiles of its distinct values).
The summaries of separate chunks merge, so the pass may run over partitions anywhere.

With binning on (`Requests.max_bins`), every numeric column also feeds an engine
``ColumnSketch`` (its range, weighted sum and distinct values or a sample of them, from
which its bins follow; see `_binning`), which then supplies the range and mean too.

Ranges, means and levels are exact. Distinct values (of the rows of positive weight) are
kept exactly while a column has at most `EXACT_DISTINCT_LIMIT` of them; beyond that, the
"cr" knots are quantiles of a sample of `SKETCH_SIZE` distinct values (with the exact
minimum and maximum added): the values whose 64-bit hashes are smallest (the engine's
``ColumnSketch.keeping_values``, which in a binned fit is the column's one sketch). Hashing makes the sample uniform over the distinct
values whatever their multiplicities, independent of the order and chunking of the rows,
and mergeable. A knot then sits within about 1/sqrt(SKETCH_SIZE) (0.4 %) of its exact
rank among the distinct values (one standard deviation); the in-memory fit uses the exact
quantiles.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _engine
from ._data import Chunk
from ._binning import sketch_rows
from ._design import PointSample, factor_levels, numeric_values, place_knots, thin_plate_points
from ._terms import BASIS_INFO

EXACT_DISTINCT_LIMIT = 1 << 20
SKETCH_SIZE = 1 << 16


class Requests:
    """Stands in for the statistics while the design is planned: records which columns the
    design needs ranges and means (`numeric`, with the term asking first), distinct
    values (`distinct`) and levels (`factors`) of. The values it returns are placeholders."""

    def __init__(self, max_bins: int | None = None) -> None:
        self.numeric: dict[int, str] = {}
        self.distinct: set[int] = set()
        self.factors: set[int] = set()
        # Per set of columns of a thin-plate term, the largest sample its terms take.
        self.point_sets: dict[tuple[int, ...], int] = {}
        # Sketch every numeric column for bins of at most this many values (None: none).
        self.max_bins = max_bins

    def knots(self, position: int, k: int, bs: str, period: Any, what: str, cap: tuple = (False, False)) -> Any:
        self.numeric.setdefault(position, what)
        if BASIS_INFO[bs].needs_distinct:
            self.distinct.add(position)
        # Valid placeholder knots, so that the planned terms can be built.
        return place_knots(bs, k, 0.0, 1.0, lambda: np.linspace(0.0, 1.0, k), None, what, position)

    def mean(self, position: int, what: str) -> float:
        self.numeric.setdefault(position, what)
        return 0.0

    def levels(self, position: int) -> np.ndarray:
        self.factors.add(position)
        return np.arange(2.0)

    def points(self, positions: list[int], k: int, what: str) -> tuple[np.ndarray, np.ndarray]:
        for pos in positions:
            self.numeric.setdefault(pos, what)
        key = tuple(positions)
        self.point_sets[key] = max(self.point_sets.get(key, 0), thin_plate_points(len(positions), k))
        # Placeholders: k distinct points (a Halton-like lattice) in the unit box.
        d = len(positions)
        primes = (2, 3, 5)
        points = np.array([[_radical_inverse(i + 1, primes[a]) for a in range(d)] for i in range(k)])
        return points, np.array([0.0] * d + [1.0] * d)

    @property
    def columns(self) -> set[int]:
        return set(self.numeric) | self.factors


def _radical_inverse(i: int, base: int) -> float:
    out, f = 0.0, 1.0 / base
    while i:
        out += f * (i % base)
        i //= base
        f /= base
    return out


class ColumnSummaries:
    """The statistics provider of a streamed fit (the methods of `ExactStats`), filled by
    `update` per chunk and `merge` across partitions. Also checks every chunk's response
    against the family and keeps what the starting intercept needs."""

    def __init__(self, requests: Requests, labels: dict[int, Any], model: Any) -> None:
        self.requests, self.labels, self.model = requests, labels, model
        self.ranges = {pos: [np.inf, -np.inf, 0.0] for pos in requests.numeric}  # min, max, sum w x
        # A binned column's sketch keeps its distinct values too, where knots need them.
        keeping = lambda bins: _engine.ColumnSketch.keeping_values(  # noqa: E731
            bins, EXACT_DISTINCT_LIMIT, SKETCH_SIZE)
        self.distinct = {} if requests.max_bins else {pos: keeping(0) for pos in requests.distinct}
        self.level_sets: dict[int, np.ndarray | None] = {pos: None for pos in requests.factors}
        self.point_samples = {key: PointSample(len(key), size) for key, size in requests.point_sets.items()}
        self.sketches = {pos: keeping(requests.max_bins) if pos in requests.distinct
                         else _engine.ColumnSketch(requests.max_bins) for pos in requests.numeric} \
            if requests.max_bins else {}
        self.rows = 0
        self.weight_sum = 0.0
        self.response_sum = 0.0     # sum w y
        self.positive_weight = False

    def update(self, chunk: Chunk) -> None:
        if chunk.y is None:
            raise ValueError("y is required")
        w = chunk.weights
        for pos, what in self.requests.numeric.items():
            col = chunk.columns.column(pos)
            sketch = self.sketches.get(pos)
            if sketch is not None:
                # The sketch keeps the range and weighted sum too, in one pass over the values.
                x = col if col.dtype == np.float64 else numeric_values(col, self.labels[pos], what, chunk.start)
                sketch_rows(sketch, x, w, self.labels[pos], what, chunk.start)
            else:
                x = numeric_values(col, self.labels[pos], what, chunk.start)
                r = self.ranges[pos]
                r[2] += float(x.sum() if w is None else w @ x)
                if w is not None:
                    x = x[w > 0]  # rows of zero weight place no knots
                if x.size:
                    r[0], r[1] = min(r[0], float(x.min())), max(r[1], float(x.max()))
            if pos in self.distinct:
                self.distinct[pos].update(x)  # finite (checked above), of rows of positive weight
        for pos in self.level_sets:
            self._add_levels(pos, factor_levels(chunk.columns.column(pos), self.labels[pos], chunk.start))
        for key, sample in self.point_samples.items():
            points = np.column_stack([np.asarray(chunk.columns.column(p), dtype=np.float64) for p in key])
            sample.update(points if w is None else points[w > 0])
        self.model.check_support(chunk.y, chunk.start)
        self.rows += chunk.rows
        self.weight_sum += chunk.rows if w is None else float(w.sum())
        self.response_sum += float(chunk.y.sum() if w is None else w @ chunk.y)
        self.positive_weight = self.positive_weight or w is None or bool((w > 0).any())

    def _add_levels(self, pos: int, levels: np.ndarray | None) -> None:
        if levels is None:
            return
        known = self.level_sets[pos]
        try:
            self.level_sets[pos] = levels if known is None else np.union1d(known, levels)
        except TypeError:
            label = self.labels[pos]
            raise ValueError(f"f({label!r}): the values of column {label!r} cannot be ordered "
                             "(mixed types)") from None

    def merge(self, other: "ColumnSummaries") -> "ColumnSummaries":
        for pos, r in self.ranges.items():
            o = other.ranges[pos]
            r[0], r[1], r[2] = min(r[0], o[0]), max(r[1], o[1]), r[2] + o[2]
        for pos, d in self.distinct.items():
            d.merge(other.distinct[pos])
        for pos, sketch in self.sketches.items():
            sketch.merge(other.sketches[pos])
        for pos in self.level_sets:
            self._add_levels(pos, other.level_sets[pos])
        for key, sample in self.point_samples.items():
            sample.merge(other.point_samples[key])
        self.rows += other.rows
        self.weight_sum += other.weight_sum
        self.response_sum += other.response_sum
        self.positive_weight = self.positive_weight or other.positive_weight
        return self

    def finish(self) -> "ColumnSummaries":
        """Checks that apply to the whole data (after the last update or merge)."""
        if self.rows == 0:
            raise ValueError("X has no rows")
        if not self.positive_weight:
            raise ValueError("sample_weight is zero for every row")
        return self

    def range_of(self, position: int) -> tuple[float, float, float]:
        """A numeric column's minimum, maximum and weighted sum."""
        sketch = self.sketches.get(position)
        if sketch is not None:
            return sketch.min, sketch.max, sketch.weighted_sum
        lo, hi, total = self.ranges[position]
        return lo, hi, total

    # The statistics provider's methods.
    def knots(self, position: int, k: int, bs: str, period: Any, what: str, cap: tuple = (False, False)) -> Any:
        lo, hi, _ = self.range_of(position)
        distinct = self.distinct[position] if position in self.distinct else self.sketches.get(position)
        return place_knots(bs, k, lo, hi, lambda: distinct.values(), period, what,
                           self.labels[position], cap)

    def mean(self, position: int, what: str) -> float:
        return self.range_of(position)[2] / self.weight_sum

    def points(self, positions: list[int], k: int, what: str) -> tuple[np.ndarray, np.ndarray]:
        box = np.array([self.range_of(p)[0] for p in positions] + [self.range_of(p)[1] for p in positions])
        # The first points of a larger sample are the sample a smaller term takes.
        return self.point_samples[tuple(positions)].points(thin_plate_points(len(positions), k)), box

    def levels(self, position: int) -> np.ndarray:
        return self.level_sets[position]

    def start_level(self, frequency: bool = False) -> float:
        """The intercept a fit starts from (as `starting_level` on the whole response;
        `frequency`: the weights count the rows)."""
        rows = self.weight_sum if frequency else self.rows
        return float(self.model.starting_level(self.response_sum / self.weight_sum, rows))
