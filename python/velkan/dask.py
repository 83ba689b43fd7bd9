"""Fits and predictions on Dask collections (``pip install 'velkan[dask]'``).

``GAM.fit`` and ``GAM.predict`` accept a dask array (rows x columns, chunked by rows) or
a dask DataFrame as X. Every pass over the data is a map over the partitions, each
reduced to the engine's p x p and p-vector sums, then summed pairwise in a fixed tree on
the way to the client; the smoothing-parameter search runs on the client on those sums.
The first pass summarises the columns the same way (`_summaries`). The tasks receive the
model as plain data (the design's term list and the coefficients), never a
compiled object, so any worker that can import velkan runs them. Passes use the current
Dask scheduler: a ``dask.distributed`` Client when one is active.

Vectors (y, sample_weight, offset) are column names (DataFrame), numbers (weights,
offset), or dask collections partitioned like X; NumPy vectors are accepted with a dask
array X and cut into its chunks. Each pass recomputes X's partitions from its graph:
persist X on the cluster first (``X = X.persist()``) unless it is cheap to produce.

A task evaluates its partition with one thread unless ``GAM(n_jobs=...)`` is set: Dask
already runs partitions in parallel.
"""

from __future__ import annotations

import threading
import time
import uuid
from collections import OrderedDict
from typing import Any, Callable

import numpy as np

from . import _engine
from ._binning import BinnedDesign
from ._data import ArrayColumns
from ._design import Design, engine_columns
from ._fit import Fitted, PassProgress, add_sums
from ._sources import VECTORS, RowVector, TableColumns, block_rows, chunk_columns, make_chunk
from ._summaries import ColumnSummaries, Requests

__all__ = ["DaskSource"]


def _import_dask() -> Any:
    try:
        import dask
    except ImportError:
        raise ImportError("dask input needs dask: pip install 'velkan[dask]'") from None
    return dask


class DaskSource:
    """A dask array or DataFrame as a row source of a streamed fit."""

    def __init__(self, X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None) -> None:
        dask = _import_dask()
        self.delayed = dask.delayed
        self.frame = hasattr(X, "columns")
        if self.frame:
            names = [str(c) for c in X.columns]
            self.template: ArrayColumns = TableColumns(X._meta, names)
            self.parts = list(X.to_delayed())
            self.sizes: list[float] = [np.nan] * len(self.parts)
            self.starts: list[int | None] = [None] * len(self.parts)
        else:
            if X.ndim != 2:
                raise ValueError(f"X must be two-dimensional (rows x columns), got {X.ndim} dimensions")
            if any(np.isnan(c) for c in X.chunks[0]):
                raise ValueError("X has chunks of unknown size; call X.compute_chunk_sizes() first")
            X = X.rechunk({1: -1})
            self.template = ArrayColumns(np.empty((0, X.shape[1])))
            self.parts = list(X.to_delayed()[:, 0])
            self.sizes = list(X.chunks[0])
            self.starts = [int(v) for v in np.cumsum([0] + self.sizes[:-1])]
        if not self.parts or (not self.frame and X.shape[0] == 0):
            raise ValueError("X has no rows")
        self.rows = None if self.frame else int(X.shape[0])
        self.specs: dict[str, RowVector] = {}
        self.blocks: dict[str, list[Any]] = {}
        for name, v in zip(VECTORS, (y, sample_weight, offset)):
            self._vector(name, v, X)

    def _vector(self, name: str, v: Any, X: Any) -> None:
        """Splits a vector into X's partitions (or keeps a name or number for the tasks)."""
        if v is None or isinstance(v, str) or np.ndim(v) == 0:
            self.specs[name] = RowVector(v, name)
            return
        self.specs[name] = RowVector(None, name)
        if hasattr(v, "__dask_graph__"):
            if self.frame:
                if v.npartitions != len(self.parts):
                    raise ValueError(f"{name} has {v.npartitions} partitions; X has {len(self.parts)}")
                self.blocks[name] = list(v.to_delayed())
                return
            if v.ndim != 1 or v.shape[0] != X.shape[0]:
                raise ValueError(f"{name} must have one value per row ({X.shape[0]}), got shape {v.shape}")
            self.blocks[name] = list(v.rechunk((X.chunks[0],)).to_delayed())
            return
        if self.frame:
            raise ValueError(f"{name}: with a dask DataFrame X, pass a column name or a dask Series")
        v = np.asarray(v)
        if v.ndim != 1 or v.shape[0] != X.shape[0]:
            raise ValueError(f"{name} must have one value per row ({X.shape[0]}), got shape {v.shape}")
        self.blocks[name] = [v[a:a + int(n)] for a, n in zip(self.starts, self.sizes)]

    @property
    def n_features(self) -> int:
        return self.template.n_features

    @property
    def feature_names(self) -> list[str] | None:
        return self.template.names

    def vector_columns(self) -> set[int]:
        return {p for v in self.specs.values() if (p := v.position(self.template)) is not None}

    def _tasks(self, fn: Callable, *args: Any) -> list[Any]:
        """fn(chunk, *args) on every partition, as delayed values."""
        task = self.delayed(_on_partition, pure=False)
        out = []
        for i, part in enumerate(self.parts):
            blocks = {name: b[i] for name, b in self.blocks.items()}
            out.append(task(fn, part, blocks, self.specs, self.starts[i], i, *args))
        return out

    def _reduce(self, values: list[Any], combine: Callable) -> Any:
        """Pairwise in a fixed tree, computed with the current scheduler."""
        step = self.delayed(combine, pure=False)
        while len(values) > 1:
            values = [step(values[i], values[i + 1]) if i + 1 < len(values) else values[i]
                      for i in range(0, len(values), 2)]
        return values[0].compute()

    def summarise(self, requests: Requests, model: Any, progress: PassProgress,
                  threads: int = 1) -> ColumnSummaries:
        labels = {pos: self.template.label(pos) for pos in requests.columns}
        start = time.perf_counter()
        stats = self._reduce(self._tasks(_summary, requests, labels, model), _merge).finish()
        self.rows = stats.rows
        progress.finished("column summaries", self.rows, time.perf_counter() - start)
        return stats

    def pass_function(self, design: Design, model: Any, threads: int, progress: PassProgress) -> Any:
        spec, inputs, n_features = design.spec, design.inputs, self.n_features

        def run_pass(layout: Any, beta0: np.ndarray, from_response: bool, column_sums: bool,
                     request: Any = None) -> Any:
            start = time.perf_counter()
            parts = self._tasks(_sums, spec, inputs, n_features, model, np.asarray(beta0),
                                from_response, column_sums, threads, block_rows(), request)
            total = self._reduce(parts, add_sums)
            progress.finished("cross products", self.rows, time.perf_counter() - start)
            return total
        return run_pass

    def binned_pass_function(self, binned: BinnedDesign, model: Any, threads: int,
                             progress: PassProgress) -> Any:
        """Binned passes: every partition codes its rows with the bins fixed in the first
        pass and returns its sums, added in the same tree."""
        spec, inputs, bins, n_features = binned.spec, binned.inputs, binned.bins, self.n_features
        key = uuid.uuid4().hex  # names this fit's binned design in the workers' caches

        def run_pass(layout: Any, beta0: np.ndarray, from_response: bool, column_sums: bool,
                 request: Any = None) -> Any:  # binned fits ask for no optional sums
            start = time.perf_counter()
            parts = self._tasks(_binned_sums, key, spec, inputs, bins, n_features, model,
                                np.asarray(beta0), from_response, column_sums, threads)
            total = self._reduce(parts, add_sums)
            progress.finished("binned cross products", self.rows, time.perf_counter() - start)
            return total
        return run_pass

    def predict(self, fitted: Fitted, threads: int, progress: PassProgress, held: bool) -> Any:
        """Linear predictors as a dask array (lazy; one chunk per partition of X)."""
        import dask.array as da
        self.far: tuple[int, dict[str, int]] = (0, {})  # the rows are read lazily: not counted
        parts = self._tasks(_predict, fitted.design.spec, fitted.inputs, fitted.n_features,
                            fitted.beta_raw, threads, held)
        return da.concatenate([da.from_delayed(p, shape=(n,), dtype=np.float64)
                               for p, n in zip(parts, self.sizes)])


# ----------------------------------------------------------------------------- tasks
def _on_partition(fn: Callable, part: Any, blocks: dict, specs: dict, start: int | None, index: int,
                  *args: Any) -> Any:
    """Runs on a worker: the partition as a checked chunk, then fn. Row numbers in messages
    count from the partition's first row when its position is unknown (DataFrames)."""
    try:
        columns = chunk_columns(part)
        return fn(make_chunk(columns, start or 0, specs, blocks), *args)
    except ValueError as e:
        if start is None:
            raise ValueError(f"partition {index} of X: {e}") from None
        raise


def _summary(chunk: Any, requests: Requests, labels: dict, model: Any) -> ColumnSummaries:
    stats = ColumnSummaries(requests, labels, model)
    stats.update(chunk)
    return stats


def _merge(a: ColumnSummaries, b: ColumnSummaries) -> ColumnSummaries:
    return a.merge(b)


def _sums(chunk: Any, spec: list, inputs: list, n_features: int, model: Any, beta0: np.ndarray,
          from_response: bool, column_sums: bool, threads: int, blocks: tuple, request: Any) -> Any:
    layout = _engine.Layout(spec)
    cols = engine_columns(inputs, chunk.columns, n_features, chunk.start)
    return _engine.accumulate(layout, cols, chunk.y, chunk.weights, chunk.offset, model, beta0,
                              from_response, column_sums, threads, *blocks, request=request)


# The binned designs a worker has built, by fit (the newest few): a thin-plate smooth's
# table takes about a second to build, and every partition of every pass needs it.
_DESIGNS: OrderedDict[str, BinnedDesign] = OrderedDict()
_DESIGNS_KEPT = 4
_DESIGNS_LOCK = threading.Lock()


def _binned_design(key: str, spec: list, inputs: list, bins: list) -> BinnedDesign:
    with _DESIGNS_LOCK:
        if key in _DESIGNS:
            _DESIGNS.move_to_end(key)
            return _DESIGNS[key]
    design = BinnedDesign(spec, inputs, bins)  # outside the lock: tasks of other fits go on
    with _DESIGNS_LOCK:
        _DESIGNS[key] = design
        while len(_DESIGNS) > _DESIGNS_KEPT:
            _DESIGNS.popitem(last=False)
    return design


def _binned_sums(chunk: Any, key: str, spec: list, inputs: list, bins: list, n_features: int,
                 model: Any, beta0: np.ndarray, from_response: bool, column_sums: bool,
                 threads: int) -> Any:
    binned = _binned_design(key, spec, inputs, bins)
    codes, raw, _ = binned.code(chunk.columns, n_features, chunk.start, threads)
    sums = binned.new_pass(model, beta0, from_response, column_sums, threads)
    sums.add(codes, raw, chunk.y, chunk.weights, chunk.offset, chunk.start)
    return sums.result()


def _predict(chunk: Any, spec: list, inputs: list, n_features: int, beta_raw: np.ndarray,
             threads: int, held: bool) -> np.ndarray:
    layout = _engine.Layout(spec).held_at_ends() if held else _engine.Layout(spec)
    cols = engine_columns(inputs, chunk.columns, n_features, chunk.start)
    return _engine.linear_predictor(layout, cols, beta_raw, chunk.offset, chunk.rows, threads)
