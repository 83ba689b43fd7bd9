"""Columns of data frames: pandas, polars, Arrow tables, anything that exports an Arrow
stream or the dataframe interchange protocol, and plain mappings of column name to array.

None of these libraries is a dependency: each is recognised by the module its type comes
from and used only when the caller already has one of its objects. A frame becomes a
`FrameColumns`, which hands out one column at a time as a NumPy array, by position or by
name, like `ArrayColumns` does for a two-dimensional array.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Callable

import numpy as np

# One column's values and its missing-value mask (None: nothing missing).
Extracted = tuple[np.ndarray, "np.ndarray | None"]


def _root_module(obj: Any) -> str:
    return type(obj).__module__.partition(".")[0]


def is_frame(X: Any) -> bool:
    """Whether X is read column by column (a data frame or a mapping of columns)."""
    root = _root_module(X)
    if isinstance(X, np.ndarray) or root == "scipy":  # scipy's dok sparse arrays are dicts
        return False
    if isinstance(X, Mapping):
        return True
    if root == "pandas":
        return hasattr(X, "columns") and getattr(X, "ndim", 0) == 2
    if root == "polars":
        return hasattr(X, "get_column")
    if root == "pyarrow":
        return hasattr(X, "column_names")
    return hasattr(X, "__arrow_c_stream__") or hasattr(X, "__dataframe__")


class FrameColumns:
    """The columns of a data frame, by position or name.

    `column(position)` returns a 1-D array: float64 (NaN where missing) for numeric
    columns, the values themselves for others; a missing value in a non-numeric column is
    refused there. `categorical(position)` tells string and category columns apart, which
    cannot carry a smooth or a linear term.
    """

    def __init__(self, names: list[Any], rows: int, get: Callable[[int], Extracted],
                 categorical: list[bool], positions: list[int] | None = None,
                 excluded: dict[str, str] | None = None) -> None:
        self._all_names = names
        self._get = get
        self._categorical = categorical
        self._positions = list(range(len(names))) if positions is None else positions
        self._rows = rows
        self._cache: dict[int, np.ndarray] = {}
        self._excluded = excluded or {}  # column name -> why terms cannot read it
        labels = [names[p] for p in self._positions]
        self.names: list[str] | None = labels if all(isinstance(n, str) for n in labels) else None

    @property
    def n_features(self) -> int:
        return len(self._positions)

    @property
    def rows(self) -> int:
        return self._rows

    def without(self, position: int, why: str) -> "FrameColumns":
        """The same frame less one column (`why`: what messages say of it)."""
        kept = [p for i, p in enumerate(self._positions) if i != position]
        excluded = {**self._excluded, self.names[position] if self.names else str(position): why}
        return FrameColumns(self._all_names, self._rows, self._get, self._categorical, kept, excluded)

    def resolve(self, key: Any, what: str) -> int:
        if isinstance(key, str):
            if self.names is None:
                raise ValueError(f"{what}: column {key!r} is named, but the columns of X are not "
                                 "all strings")
            hits = [i for i, n in enumerate(self.names) if n == key]
            if not hits and key in self._excluded:
                raise ValueError(f"{what}: a term cannot read column {key!r}: {self._excluded[key]}")
            if not hits:
                raise ValueError(f"{what}: no column named {key!r}; columns are {self.names}")
            if len(hits) > 1:
                raise ValueError(f"{what}: X has {len(hits)} columns named {key!r}")
            return hits[0]
        if key >= self.n_features:
            raise ValueError(f"{what}: column {key} does not exist; X has {self.n_features} columns")
        return int(key)

    def label(self, position: int) -> Any:
        return self.names[position] if self.names is not None else position

    def categorical(self, position: int) -> bool:
        return self._categorical[self._positions[position]]

    def column(self, position: int) -> np.ndarray:
        if position not in self._cache:
            values, missing = self._get(self._positions[position])
            if missing is not None and missing.any() and values.dtype.kind not in "fc":
                i = int(np.argmax(missing))
                raise ValueError(f"X contains missing values (column {self.label(position)!r}, row {i})")
            if values.ndim != 1 or values.shape[0] != self._rows:
                raise ValueError(f"column {self.label(position)!r} of X does not hold one value per row")
            self._cache[position] = values
        return self._cache[position]


def _pandas(X: Any) -> FrameColumns:
    import pandas as pd

    def get(i: int) -> Extracted:
        s = X.iloc[:, i]
        missing = s.isna().to_numpy()
        if isinstance(s.dtype, pd.CategoricalDtype):
            return s.to_numpy(), missing
        if pd.api.types.is_bool_dtype(s.dtype) and not missing.any():
            return s.to_numpy(dtype=bool), None
        if pd.api.types.is_numeric_dtype(s.dtype):
            return s.to_numpy(dtype=np.float64, na_value=np.nan), missing
        return s.to_numpy(), missing

    categorical = [isinstance(t, pd.CategoricalDtype) or pd.api.types.is_string_dtype(t)
                   or t == object for t in X.dtypes]
    return FrameColumns(list(X.columns), len(X), get, categorical)


def _polars(X: Any) -> FrameColumns:
    import polars as pl

    def get(i: int) -> Extracted:
        s = X.to_series(i)
        missing = s.is_null().to_numpy() if s.null_count() else None
        if s.dtype.is_numeric():
            return s.cast(pl.Float64).to_numpy(), missing
        return s.to_numpy(), missing

    categorical = [t in (pl.String, pl.Categorical, pl.Object) or isinstance(t, (pl.Categorical, pl.Enum))
                   for t in X.dtypes]
    return FrameColumns(list(X.columns), X.height, get, categorical)


def _arrow(X: Any) -> FrameColumns:
    import pyarrow as pa
    import pyarrow.types as pt

    if not isinstance(X, pa.Table):
        X = pa.table(X)

    def get(i: int) -> Extracted:
        col = X.column(i)
        missing = col.is_null().to_numpy(zero_copy_only=False) if col.null_count else None
        if pt.is_integer(col.type) or pt.is_floating(col.type):
            return col.cast(pa.float64()).to_numpy(zero_copy_only=False), missing
        return col.to_numpy(zero_copy_only=False), missing

    categorical = [pt.is_string(t) or pt.is_large_string(t) or pt.is_dictionary(t)
                   for t in X.schema.types]
    return FrameColumns(list(X.column_names), X.num_rows, get, categorical)


def _mapping(X: Mapping) -> FrameColumns:
    names = list(X.keys())
    arrays = []
    for name in names:
        if isinstance(X[name], np.ma.MaskedArray):
            raise TypeError(f"column {name!r} of X is a masked array; fill or drop the masked values first")
        a = np.asarray(X[name])
        if a.ndim != 1:
            raise ValueError(f"column {name!r} of X must be one-dimensional, got shape {a.shape}")
        arrays.append(a)
    rows = arrays[0].shape[0] if arrays else 0
    for name, a in zip(names, arrays):
        if a.shape[0] != rows:
            raise ValueError(f"the columns of X differ in length ({names[0]!r}: {rows}, {name!r}: {a.shape[0]})")

    def get(i: int) -> Extracted:
        return arrays[i], None

    categorical = [a.dtype.kind in "OUS" for a in arrays]
    return FrameColumns(names, rows, get, categorical)


def frame_columns(X: Any) -> FrameColumns:
    """The columns of a frame (`is_frame(X)` is true)."""
    if isinstance(X, Mapping):
        return _mapping(X)
    root = _root_module(X)
    if root == "pandas":
        return _pandas(X)
    if root == "polars":
        return _polars(X)
    if root == "pyarrow" or hasattr(X, "__arrow_c_stream__"):
        try:
            return _arrow(X)
        except ImportError:
            pass
    if hasattr(X, "__dataframe__"):
        try:
            from pyarrow.interchange import from_dataframe
        except ImportError:
            try:
                from pandas.api.interchange import from_dataframe
            except ImportError:
                raise TypeError(f"reading a {type(X).__name__} needs pyarrow or pandas; install one, "
                                "or pass a NumPy array") from None
        return frame_columns(from_dataframe(X))
    raise TypeError(f"reading a {type(X).__name__} needs pyarrow; install it, or pass a NumPy array")


class AlignedColumns:
    """New data's columns in the order the model was fitted on, matched by name: extra
    columns are ignored, and a missing one is refused when a term needs it."""

    def __init__(self, columns: Any, names: list[str]) -> None:
        self.inner = columns
        self.names = names

    @property
    def n_features(self) -> int:
        return len(self.names)

    @property
    def rows(self) -> int:
        return self.inner.rows

    def resolve(self, key: Any, what: str) -> int:
        return self.names.index(key) if isinstance(key, str) else int(key)

    def label(self, position: int) -> Any:
        return self.names[position]

    def categorical(self, position: int) -> bool:
        return bool(getattr(self.inner, "categorical", lambda p: False)(self._inner_position(position)))

    def _inner_position(self, position: int) -> int:
        name = self.names[position]
        if name not in self.inner.names:
            raise ValueError(f"X has no column {name!r}, which the model uses")
        return self.inner.resolve(name, "X")

    def column(self, position: int) -> np.ndarray:
        return self.inner.column(self._inner_position(position))
