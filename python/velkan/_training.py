"""Reading a model's rows again after the fit: the training data (which a fitted estimator
keeps a reference to, never a copy) or new data with a response, in memory, streamed or on
a Dask cluster.

Everything here maps one function over the rows chunk by chunk and hands back the
results in row order, so that each use (residuals, the checks of `_checking`, simulated
responses) costs one pass over the data at most. The function runs where the rows are:
in this process, or in the Dask tasks, which receive the model as plain data (term specs,
coefficients, the family's response model) and build what they need from it.
"""

from __future__ import annotations

from typing import Any, Callable

import numpy as np

from . import _engine
from ._data import ArraySource, Chunk
from ._design import InputColumn, engine_columns
from ._fit import Fitted, PassProgress

# The function mapped over the chunks: fn(chunk, engine columns, *args).
ChunkFn = Callable[..., Any]


def as_layout(layout_or_spec: Any) -> Any:
    """A compiled layout, built from term specs when the caller sends plain data (a task)."""
    return layout_or_spec if isinstance(layout_or_spec, _engine.Layout) else _engine.Layout(layout_or_spec)


class Rows:
    """The rows of one data source as the fitted model reads them."""

    def __init__(self, source: Any, fitted: Fitted, aligned_columns: Any = None) -> None:
        self.source = source
        self.fitted = fitted
        # New in-memory data whose frame columns were matched to the model's by name.
        self.aligned_columns = aligned_columns

    @property
    def is_dask(self) -> bool:
        return hasattr(self.source, "_tasks")

    @property
    def in_memory(self) -> bool:
        return isinstance(self.source, ArraySource)

    @property
    def rows(self) -> int | None:
        return self.source.rows

    def map(self, fn: ChunkFn, *args: Any, verbose: bool = False, what: str = "rows") -> list[Any]:
        """fn(chunk, engine columns, *args) for every chunk, in row order (computed)."""
        if self.is_dask:
            import dask

            return list(dask.compute(*self.map_delayed(fn, *args)))
        return list(self.iterate(fn, *args, verbose=verbose, what=what))

    def map_delayed(self, fn: ChunkFn, *args: Any) -> list[Any]:
        """The same on a Dask source as delayed values, one per partition."""
        return self.source._tasks(_on_columns, fn, self.fitted.inputs, self.fitted.n_features, *args)

    def iterate(self, fn: ChunkFn, *args: Any, verbose: bool = False, what: str = "rows") -> Any:
        inputs, n_features = self.fitted.inputs, self.fitted.n_features
        if self.in_memory:
            chunk = self.source.chunk
            columns = self.aligned_columns if self.aligned_columns is not None else chunk.columns
            yield fn(chunk, engine_columns(inputs, columns, n_features), *args)
            return
        needed = {inp.source for inp in inputs}
        progress = PassProgress(verbose)
        for chunk in progress.track(self.source.chunks(needed), self.source.rows, what):
            yield fn(chunk, engine_columns(inputs, chunk.columns, n_features, chunk.start), *args)


def _on_columns(chunk: Chunk, fn: ChunkFn, inputs: list[InputColumn], n_features: int,
                *args: Any) -> Any:
    """Runs in a Dask task: the partition's engine columns, then fn."""
    return fn(chunk, engine_columns(inputs, chunk.columns, n_features, chunk.start), *args)


def require_response(chunk: Chunk) -> np.ndarray:
    if chunk.y is None:
        raise ValueError("y is required: residuals and checks compare the model with responses")
    return chunk.y


# ----------------------------------------------------------------------------- chunk work
def chunk_residuals(chunk: Chunk, columns: list[np.ndarray], layout: Any, beta_raw: np.ndarray,
                    model: Any, kind: str, threads: int) -> np.ndarray:
    """Residuals of one kind on a chunk's rows."""
    y = require_response(chunk)
    model.check_support(y, chunk.start)
    eta = _engine.linear_predictor(as_layout(layout), columns, beta_raw, chunk.offset, chunk.rows,
                                   threads)
    return _engine.residuals(model, y, eta, chunk.weights, kind, threads)


def chunk_mean(chunk: Chunk, columns: list[np.ndarray], layout: Any, beta_raw: np.ndarray,
               model: Any, threads: int) -> tuple[np.ndarray, np.ndarray | None, int]:
    """The fitted means of a chunk's rows, their prior weights and the first row's position."""
    eta = _engine.linear_predictor(as_layout(layout), columns, beta_raw, chunk.offset, chunk.rows,
                                   threads)
    return model.inverse_link(eta), chunk.weights, chunk.start


def sample_positions(chunk: Chunk, rate: float, seed: int) -> np.ndarray:
    """Rows of a chunk kept by a sample of every row with probability `rate`, drawn from a
    generator seeded by (seed, the chunk's first row): the same rows for the same chunking."""
    if rate >= 1.0:
        return np.arange(chunk.rows)
    rng = np.random.default_rng([seed, chunk.start])
    return np.flatnonzero(rng.random(chunk.rows) < rate)


def chunk_sample(chunk: Chunk, columns: list[np.ndarray], layout: Any, beta_raw: np.ndarray,
                 rate: float, seed: int, threads: int) -> dict[str, Any]:
    """A sample of a chunk's rows: their engine columns, response, weights and linear
    predictor (offset included)."""
    pick = sample_positions(chunk, rate, seed)
    cols = [np.ascontiguousarray(c[pick]) for c in columns]
    offset = None if chunk.offset is None else chunk.offset[pick]
    eta = _engine.linear_predictor(as_layout(layout), cols, beta_raw, offset, pick.size, threads)
    return {"columns": cols, "y": None if chunk.y is None else chunk.y[pick],
            "weights": None if chunk.weights is None else chunk.weights[pick], "eta": eta,
            "offset": offset}


def join_samples(parts: list[dict[str, Any]]) -> dict[str, Any]:
    """The samples of several chunks as one, in row order."""
    out: dict[str, Any] = {}
    for key in ("y", "weights", "eta", "offset"):
        values = [p[key] for p in parts]
        if all(v is None for v in values):
            out[key] = None
            continue
        fill = 1.0 if key == "weights" else 0.0
        out[key] = np.concatenate([np.full(p["eta"].size, fill) if v is None else v
                                   for p, v in zip(parts, values)])
    out["columns"] = [np.concatenate(cols) for cols in zip(*[p["columns"] for p in parts])]
    return out


def sample_rate(rows: int | None, size: int) -> float:
    """The probability of keeping a row for a sample of about `size` rows."""
    return 1.0 if not rows or rows <= size else size / rows
