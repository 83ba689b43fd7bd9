"""Checking user inputs and reading rows from them.

A fit reads its rows through a *row source*: something that yields the rows in chunks,
once per pass. In-memory arrays are one chunk. Each chunk gives the user's columns (by
index or name), the response, weights and offset; `_design` turns a chunk's columns into
the engine's input columns.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Iterator

import numpy as np

from ._frames import frame_columns, is_frame


def readable(values: np.ndarray) -> np.ndarray:
    """float64 values whose stride the engine can read (a whole number of values: a column
    of a packed record array is copied)."""
    return values if values.strides[0] % values.itemsize == 0 else np.ascontiguousarray(values)


def as_2d(X: Any, name: str = "X") -> np.ndarray:
    """X as a two-dimensional array with at least one row (masked arrays refused)."""
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


def as_vector(v: Any, n: int, name: str, *, allow_none: bool = True,
              first_row: int = 0) -> np.ndarray | None:
    """v as a finite float64 vector of length n (a scalar is broadcast); None stays None.
    `first_row` is the position of v's first row in the whole data, for messages."""
    if v is None:
        if allow_none:
            return None
        raise ValueError(f"{name} is required: pass it to fit, or (with a DataFrame) name the "
                         f"response in the formula, as in 'y ~ s(x)'")
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
        raise ValueError(f"{name} contains NaN or infinite values (first at row {first_row + i})")
    return readable(arr)


def check_weights(w: np.ndarray | None, first_row: int = 0, *, all_rows: bool = True) -> None:
    """Refuses negative weights; and, when `w` covers all rows, weights that are all zero."""
    if w is None:
        return
    if (w < 0).any():
        i = int(np.argmax(w < 0))
        raise ValueError(f"sample_weight must be non-negative (row {first_row + i} is {float(w[i])!r})")
    if all_rows and not (w > 0).any():
        raise ValueError("sample_weight is zero for every row")


class ArrayColumns:
    """The columns of a two-dimensional array, by position (and by name when names are given).

    Every row source hands out its columns through this interface: `resolve` turns a user's
    column reference (position or name) into a position, `column` returns one column as a
    1-D array (any dtype; numeric checks belong to the caller).
    """

    def __init__(self, X: np.ndarray, names: list[str] | None = None) -> None:
        self.X = X
        self.names = names

    @property
    def n_features(self) -> int:
        return self.X.shape[1]

    @property
    def rows(self) -> int:
        return self.X.shape[0]

    def resolve(self, key: Any, what: str) -> int:
        if isinstance(key, str):
            if self.names is None:
                raise ValueError(f"{what}: column {key!r} is named, but X has no column names (pass a DataFrame)")
            try:
                return self.names.index(key)
            except ValueError:
                raise ValueError(f"{what}: no column named {key!r}; columns are {self.names}") from None
        if key >= self.n_features:
            raise ValueError(f"{what}: column {key} does not exist; X has {self.n_features} columns")
        return int(key)

    def label(self, position: int) -> Any:
        """How messages name a column: its name, else its position."""
        return self.names[position] if self.names is not None else position

    def column(self, position: int) -> np.ndarray:
        return self.X[:, position]


@dataclass
class Chunk:
    """Rows of a source: the user's columns, the response, weights and offset (None: ones,
    zeros)."""

    columns: ArrayColumns
    y: np.ndarray | None
    weights: np.ndarray | None = None
    offset: np.ndarray | None = None
    start: int = 0                     # position of the chunk's first row in the whole data

    @property
    def rows(self) -> int:
        return self.columns.rows


class ArraySource:
    """Rows held in memory: a single chunk, read afresh on every pass.

    `X` is a two-dimensional array or a data frame (see `_frames`). `response` names the
    formula's response: a frame's column of that name is never a feature, and when `y` is
    None the response is read from it.
    """

    def __init__(self, X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None,
                 *, require_y: bool = True, response: str | None = None) -> None:
        if is_frame(X):
            columns: Any = frame_columns(X)
            if columns.rows == 0:
                raise ValueError("X has no rows")
            if response is not None and columns.names is not None and response in columns.names:
                position = columns.resolve(response, "the response")
                if y is None and require_y:
                    y = numeric_response(columns.column(position), response)
                columns = columns.without(position, "it is the formula's response")
        else:
            columns = ArrayColumns(as_2d(X))
        if y is None and require_y and response is not None:
            if isinstance(columns, ArrayColumns):
                raise ValueError(f"y is None: the formula's response {response!r} is read from a "
                                 "DataFrame's column, but X is an array; pass y")
            raise ValueError(f"y is None and X has no column {response!r} (the formula's response)")
        n = columns.rows
        self.chunk = Chunk(columns, as_vector(y, n, "y", allow_none=not require_y),
                           as_vector(sample_weight, n, "sample_weight"),
                           as_vector(offset, n, "offset"))
        check_weights(self.chunk.weights)

    @property
    def n_features(self) -> int:
        return self.chunk.columns.n_features

    @property
    def feature_names(self) -> list[str] | None:
        return self.chunk.columns.names

    @property
    def rows(self) -> int:
        return self.chunk.rows

    def chunks(self) -> Iterator[Chunk]:
        yield self.chunk


def numeric_response(values: np.ndarray, name: str) -> np.ndarray:
    """A frame's response column as float64; booleans count as 0 / 1."""
    if values.dtype.kind not in "biuf":
        raise ValueError(f"the response column {name!r} is not numeric")
    return values.astype(np.float64)
