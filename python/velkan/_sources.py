"""Row sources that stream: data read a chunk of rows at a time, afresh on every pass.

`open_stream` recognises the inputs that are not held in memory as one array:

* ``np.memmap`` arrays and paths of ``.npy`` files, read window by window with ordinary
  file reads (no mapping of the whole file, so neither the address space nor the resident
  size grows with it). A copy-on-write memmap, or a view that is not contiguous, is read
  through its own mapping instead: its pages then count in the resident size while they
  are read, and the kernel reclaims them.
* Parquet files and directories (paths) and ``pyarrow.dataset.Dataset`` objects, read in
  record batches of the columns the model uses (pyarrow).
* Collections of chunks: a re-iterable (a list, or any object whose ``iter`` starts afresh)
  or a function returning a new iterator, read once per pass. A chunk is a 2-D array, a
  pyarrow Table or RecordBatch, a pandas DataFrame, or a tuple ``(X, y[, sample_weight[,
  offset]])`` of such an X with its own vectors. Every chunk has the columns of the first.

The response, weights and offset are each None, a number (weights and offset), a column
name of a table source, or a vector of one value per row of the whole data (an array, a
memmap), sliced chunk by chunk in the order the source reads its rows.
"""

from __future__ import annotations

import mmap
import os
import queue
import threading
from typing import Any, Iterator

import numpy as np

from . import _engine
from ._data import ArrayColumns, Chunk, as_vector, check_weights
from ._design import Design, engine_columns, far_rows
from ._fit import Fitted, PassProgress, add_sums
from ._summaries import ColumnSummaries, Requests

# Rows per chunk read from files and memmaps (Parquet: rows per record batch), and the
# most bytes a window of a wide array may take (which then holds fewer rows).
CHUNK_ROWS = 1 << 20
WINDOW_BYTES = 1 << 26
# Rows the engine evaluates and reduces at a time (None: the engine's default).
PASS_BLOCK_ROWS: int | None = None
# Record batches pyarrow may read ahead of the fit.
PARQUET_READAHEAD = 2
# Windows of files at least this large are mapped rather than copied.
MAP_BYTES = 1 << 20
# Windows a file or memmap reader prepares ahead of the pass that uses them.
WINDOW_READAHEAD = 1

VECTORS = ("y", "sample_weight", "offset")


# ----------------------------------------------------------------------------- columns
class TableColumns(ArrayColumns):
    """The columns of a table chunk (pyarrow Table or RecordBatch, pandas DataFrame), by
    position in `names` or by name. A projected batch holds only some of the columns;
    `column` reads those by name."""

    def __init__(self, table: Any, names: list[str]) -> None:
        self.table = table
        self.names = names
        self.is_arrow = hasattr(table, "num_rows")

    @property
    def n_features(self) -> int:
        return len(self.names)

    @property
    def rows(self) -> int:
        return self.table.num_rows if self.is_arrow else len(self.table)

    def column(self, position: int) -> np.ndarray:
        if not self.is_arrow:
            return self.table.iloc[:, position].to_numpy()
        col = self.table.column(self.names[position])
        if hasattr(col, "combine_chunks"):
            col = col.combine_chunks()
        return col.to_numpy(zero_copy_only=False)


class WindowColumns(ArrayColumns):
    """Rows [first, last) of an array or a `FileArray`; a column is read when asked for
    (or ahead of use, by `load`)."""

    def __init__(self, data: Any, first: int, last: int) -> None:
        self.data = data
        self.first, self.last = first, last
        self.names = None
        self._rows: np.ndarray | None = None
        self._columns: dict[int, np.ndarray] = {}

    def load(self, positions: Any) -> None:
        """Reads the given columns now (a prefetching reader calls this on its thread)."""
        for position in positions:
            self.column(position)

    @property
    def n_features(self) -> int:
        return self.data.shape[1]

    @property
    def rows(self) -> int:
        return self.last - self.first

    def column(self, position: int) -> np.ndarray:
        if isinstance(self.data, FileArray) and self.data.fortran:
            if position not in self._columns:
                self._columns[position] = self.data.read_column(position, self.first, self.last)
            return self._columns[position]
        if self._rows is None:
            self._rows = (self.data.read(self.first, self.last) if isinstance(self.data, FileArray)
                          else np.asarray(self.data[self.first:self.last]))
        return self._rows[:, position]


def is_table(obj: Any) -> bool:
    """A pyarrow Table or RecordBatch, or a pandas DataFrame (checked without importing)."""
    module = type(obj).__module__
    return ((module.startswith("pyarrow") and hasattr(obj, "column_names") and hasattr(obj, "num_rows"))
            or (module.startswith("pandas") and hasattr(obj, "iloc") and hasattr(obj, "columns")))


def table_names(table: Any) -> list[str] | None:
    if hasattr(table, "column_names"):
        return list(table.column_names)
    names = list(table.columns)
    return names if all(isinstance(c, str) for c in names) else None


def chunk_columns(X: Any) -> ArrayColumns:
    if is_table(X):
        names = table_names(X)
        if names is not None:
            return TableColumns(X, names)
        X = X.to_numpy()
    if isinstance(X, np.ndarray) and X.ndim == 2:
        return ArrayColumns(X)
    raise TypeError(f"a chunk of X must be a 2-D array or a table (pyarrow, pandas), not {type(X).__name__}")


# ----------------------------------------------------------------------------- files
class FileArray:
    """A 1-D or 2-D array stored contiguously (C or Fortran order) at a byte offset of a
    file, read a window of rows at a time with ordinary reads."""

    def __init__(self, path: str, offset: int, shape: tuple, dtype: np.dtype, fortran: bool) -> None:
        if dtype.hasobject or dtype.kind not in "biuf":
            raise TypeError(f"{path}: arrays of {dtype} cannot be read as numbers")
        self.path, self.offset, self.shape = str(path), int(offset), tuple(int(s) for s in shape)
        self.dtype, self.fortran = np.dtype(dtype), bool(fortran) and len(shape) == 2
        nbytes = int(np.prod(self.shape)) * self.dtype.itemsize
        size = os.path.getsize(self.path)
        if size < self.offset + nbytes:
            raise ValueError(f"{self.path} holds {size} bytes; an array of shape {self.shape} and type "
                             f"{self.dtype} at byte {self.offset} needs {self.offset + nbytes}")

    @property
    def ndim(self) -> int:
        return len(self.shape)

    @classmethod
    def from_memmap(cls, X: np.memmap) -> "FileArray | None":
        """The file behind a memmap, or None when it cannot be read from the file (a
        copy-on-write map, a view that is not contiguous)."""
        if X.filename is None or X.mode in ("c", "copyonwrite") or X.ndim not in (1, 2) or X.size == 0:
            return None
        root = X
        while isinstance(root.base, np.ndarray):
            root = root.base
        if not isinstance(root, np.memmap) or not isinstance(root.base, mmap.mmap):
            return None
        if not (X.flags.c_contiguous or X.flags.f_contiguous):
            return None
        # The root's first element sits at byte `root.offset` of the file.
        start = root.offset + (X.ctypes.data - root.ctypes.data)
        return cls(X.filename, start, X.shape, X.dtype, X.flags.f_contiguous and not X.flags.c_contiguous)

    @classmethod
    def from_npy(cls, path: str) -> "FileArray":
        with open(path, "rb") as f:
            version = np.lib.format.read_magic(f)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(f)
            else:
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(f)
            offset = f.tell()
        if len(shape) not in (1, 2):
            raise ValueError(f"{path} holds an array of {len(shape)} dimensions; X must have two")
        return cls(path, offset, shape, dtype, fortran)

    def _read(self, start_item: int, count: int) -> np.ndarray:
        if count * self.dtype.itemsize >= MAP_BYTES and hasattr(mmap, "MAP_POPULATE"):
            return self._map(start_item, count)
        out = np.empty(count, dtype=self.dtype)
        view = memoryview(out).cast("B")
        with open(self.path, "rb", buffering=0) as f:
            f.seek(self.offset + start_item * self.dtype.itemsize)
            done = 0
            while done < view.nbytes:
                got = f.readinto(view[done:])
                if not got:
                    raise ValueError(f"{self.path} ended early (was it truncated during the fit?)")
                done += got
        return out

    def _map(self, start_item: int, count: int) -> np.ndarray:
        """Items [start_item, start_item + count) as a read-only array over a mapping of
        just those bytes, its pages read in at once: no copy, and the mapping goes with
        the array."""
        start = self.offset + start_item * self.dtype.itemsize
        base = start - start % mmap.ALLOCATIONGRANULARITY
        length = start - base + count * self.dtype.itemsize
        with open(self.path, "rb") as f:
            if os.fstat(f.fileno()).st_size < base + length:
                raise ValueError(f"{self.path} ended early (was it truncated during the fit?)")
            mapped = mmap.mmap(f.fileno(), length, flags=mmap.MAP_SHARED | mmap.MAP_POPULATE,
                               prot=mmap.PROT_READ, offset=base)
        return np.frombuffer(mapped, dtype=self.dtype, count=count, offset=start - base)

    def read(self, first: int, last: int) -> np.ndarray:
        """Rows [first, last) (C order, or 1-D)."""
        if self.ndim == 1:
            return self._read(first, last - first)
        if self.fortran:
            return np.column_stack([self.read_column(j, first, last) for j in range(self.shape[1])])
        m = self.shape[1]
        return self._read(first * m, (last - first) * m).reshape(last - first, m)

    def read_column(self, j: int, first: int, last: int) -> np.ndarray:
        """Rows [first, last) of column j of a Fortran-ordered array."""
        return self._read(j * self.shape[0] + first, last - first)

    def __getitem__(self, rows: slice) -> np.ndarray:
        return self.read(rows.start, rows.stop)


def file_or_array(v: Any) -> Any:
    """A memmap as the file behind it where it can be read from there; anything else as is."""
    if isinstance(v, np.memmap):
        return FileArray.from_memmap(v) or v
    return v


# ----------------------------------------------------------------------------- vectors
class RowVector:
    """Where a row-aligned vector (y, sample_weight, offset) comes from: nothing, a number,
    a column of a table source, or one value per row of the whole data."""

    def __init__(self, v: Any, name: str) -> None:
        self.name = name
        self.column: str | None = None
        self.scalar: float | None = None
        self.values: Any = None
        if v is None:
            return
        if isinstance(v, str):
            self.column = v
        elif not isinstance(v, FileArray) and np.ndim(v) == 0:
            if name == "y":
                raise ValueError("y must be a vector or a column name, not a single number")
            self.scalar = float(v)
        else:
            v = file_or_array(v)
            if not isinstance(v, (np.ndarray, FileArray)):
                v = np.asarray(v)
            if len(v.shape) != 1:
                raise ValueError(f"{name} must be one-dimensional, got shape {v.shape}")
            self.values = v

    @property
    def given(self) -> bool:
        return self.column is not None or self.scalar is not None or self.values is not None

    def position(self, columns: ArrayColumns) -> int | None:
        if self.column is None:
            return None
        if columns.names is None:
            raise ValueError(f"{self.name}={self.column!r} names a column, but X has no column names")
        return columns.resolve(self.column, self.name)

    def take(self, columns: ArrayColumns, start: int) -> np.ndarray | None:
        """This vector's values on the rows of one chunk, checked."""
        n = columns.rows
        if self.column is not None:
            v = columns.column(self.position(columns))
        elif self.values is not None:
            if start + n > self.values.shape[0]:
                raise ValueError(f"{self.name} has {self.values.shape[0]} values; X has more rows")
            v = self.values[start:start + n]
        elif self.scalar is not None:
            v = self.scalar
        else:
            return None
        return as_vector(v, n, self.name, first_row=start)

    def check_length(self, rows: int) -> None:
        if self.values is not None and self.values.shape[0] != rows:
            raise ValueError(f"{self.name} must have one value per row ({rows}), got {self.values.shape[0]}")


def make_chunk(columns: ArrayColumns, start: int, vectors: dict[str, RowVector],
               own: dict[str, Any] | None = None) -> Chunk:
    """A checked chunk; `own` holds the vectors a chunk tuple brought along."""
    values = {}
    for name in VECTORS:
        if own is not None and name in own:
            values[name] = as_vector(own[name], columns.rows, name, first_row=start)
        else:
            values[name] = vectors[name].take(columns, start)
    check_weights(values["sample_weight"], start, all_rows=False)
    return Chunk(columns, values["y"], values["sample_weight"], values["offset"], start)


# ----------------------------------------------------------------------------- sources
class StreamSource:
    """Rows read in chunks, once per pass. Subclasses set `template` (a columns object that
    resolves column references: names and number of columns), `rows` (None until the first
    pass has counted them) and yield chunks from `read(needed)`, where `needed` holds the
    column positions a pass reads (a hint; None: all)."""

    template: ArrayColumns
    rows: int | None = None

    def __init__(self, y: Any, sample_weight: Any, offset: Any) -> None:
        self.vectors = {name: RowVector(v, name) for name, v in
                        zip(VECTORS, (y, sample_weight, offset))}

    @property
    def n_features(self) -> int:
        return self.template.n_features

    @property
    def feature_names(self) -> list[str] | None:
        return self.template.names

    def vector_columns(self) -> set[int]:
        """Positions of the columns that hold y, weights or offset (not model inputs)."""
        out = set()
        for v in self.vectors.values():
            pos = v.position(self.template)
            if pos is not None:
                out.add(pos)
        return out

    def chunks(self, needed: set[int] | None = None) -> Iterator[Chunk]:
        """The rows, chunk by chunk; on a complete pass the row count is recorded and the
        vectors of whole-data values are checked against it."""
        if needed is not None:
            needed = needed | self.vector_columns()
        total = 0
        for chunk in self.read(needed):
            total += chunk.rows
            yield chunk
        for v in self.vectors.values():
            v.check_length(total)
        self.rows = total

    def read(self, needed: set[int] | None) -> Iterator[Chunk]:
        raise NotImplementedError

    # The three kinds of pass a streamed fit makes.
    def summarise(self, requests: Requests, model: Any, progress: PassProgress,
                  threads: int = 1) -> ColumnSummaries:
        """The first pass: what the design needs from whole columns. Chunk i is summarised
        on thread i mod `threads`; the threads' summaries merge in order at the end."""
        labels = {pos: self.template.label(pos) for pos in requests.columns}
        parts = [ColumnSummaries(requests, labels, model) for _ in range(max(threads, 1))]
        chunks = progress.track(self.chunks(requests.columns), self.rows, "column summaries",
                                len(requests.columns))
        in_turn(chunks, [part.update for part in parts])
        for part in parts[1:]:
            parts[0].merge(part)
        return parts[0].finish()

    def pass_function(self, design: Design, model: Any, threads: int, progress: PassProgress) -> Any:
        """The `run_pass` of `fit_loop`: the engine's sums chunk by chunk, added in order."""
        needed = {inp.source for inp in design.inputs}
        n_features = self.n_features

        def run_pass(layout: Any, beta0: np.ndarray, from_response: bool, column_sums: bool) -> Any:
            total = None
            for chunk in progress.track(self.chunks(needed), self.rows, "cross products", len(needed)):
                cols = engine_columns(design.inputs, chunk.columns, n_features, chunk.start)
                sums = _engine.accumulate(layout, cols, chunk.y, chunk.weights, chunk.offset, model,
                                          beta0, from_response, column_sums, threads, *block_rows())
                total = add_sums(total, sums)
            return total
        return run_pass

    def predict(self, fitted: Fitted, threads: int, progress: PassProgress, held: bool) -> np.ndarray:
        """Linear predictors of every row, in the source's order (`held`: smooths held at
        the ends of their training range); `far` counts the rows far beyond it (as
        `far_rows` does)."""
        needed = {inp.source for inp in fitted.inputs}
        layout = fitted.prediction_layout(held)
        out = []
        beyond, counts = 0, {}
        for chunk in progress.track(self.chunks(needed), self.rows, "prediction"):
            cols = engine_columns(fitted.inputs, chunk.columns, fitted.n_features, chunk.start)
            rows, per_term = far_rows(fitted.design, cols)
            beyond += rows
            for label, n in per_term.items():
                counts[label] = counts.get(label, 0) + n
            self.far = (beyond, counts)
            out.append(_engine.linear_predictor(layout, cols, fitted.beta_raw, chunk.offset,
                                                chunk.rows, threads))
        return np.concatenate(out)


def block_rows() -> tuple:
    return () if PASS_BLOCK_ROWS is None else (PASS_BLOCK_ROWS,)


class WindowSource(StreamSource):
    """A 2-D array too large to read at once (a memmap, a .npy file), in windows of rows."""

    def __init__(self, X: Any, y: Any, sample_weight: Any, offset: Any, chunk_rows: int) -> None:
        super().__init__(y, sample_weight, offset)
        if X.ndim != 2:
            raise ValueError(f"X must be two-dimensional (rows x columns), got {X.ndim} dimensions")
        if X.shape[0] == 0:
            raise ValueError("X has no rows")
        self.X = X
        self.rows = X.shape[0]
        for v in self.vectors.values():
            v.check_length(self.rows)
        self.chunk_rows = max(1, min(chunk_rows, WINDOW_BYTES // max(1, X.shape[1] * X.dtype.itemsize)))
        self.template = WindowColumns(X, 0, 0)

    def read(self, needed: set[int] | None) -> Iterator[Chunk]:
        n = self.X.shape[0]
        positions = range(self.X.shape[1]) if needed is None else sorted(needed)

        def windows() -> Iterator[Chunk]:
            for first in range(0, n, self.chunk_rows):
                last = min(first + self.chunk_rows, n)
                chunk = make_chunk(WindowColumns(self.X, first, last), first, self.vectors)
                chunk.columns.load(positions)
                yield chunk
        return read_ahead(windows(), WINDOW_READAHEAD)


def in_turn(items: Iterator[Any], workers: list) -> None:
    """Calls workers[i % len(workers)](item) on the i-th item, each worker on a thread of
    its own (a single worker on this one). A failure stops the pass; the exception of the
    earliest failing item is raised, as a single thread would have raised it."""
    if len(workers) == 1:
        for item in items:
            workers[0](item)
        return
    queues: list[queue.Queue] = [queue.Queue(maxsize=1) for _ in workers]
    errors: dict[int, BaseException] = {}

    def run(k: int) -> None:
        while (got := queues[k].get()) is not None:
            index, item = got
            if errors and min(errors) < index:
                continue
            try:
                workers[k](item)
            except BaseException as e:  # raised by the caller, in item order
                errors[index] = e

    threads = [threading.Thread(target=run, args=(k,), name=f"velkan-pass-{k}", daemon=True)
               for k in range(len(workers))]
    for t in threads:
        t.start()
    try:
        for index, item in enumerate(items):
            if errors:
                break
            queues[index % len(workers)].put((index, item))
    finally:
        for q in queues:
            q.put(None)
        for t in threads:
            t.join()
    if errors:
        raise errors[min(errors)]


def read_ahead(items: Iterator[Any], depth: int) -> Iterator[Any]:
    """The items of `items`, each produced on a background thread while the caller uses
    the one before (at most `depth` waiting). The producer's exception reaches the
    caller in order; closing the iterator stops the producer after its current item."""
    results: queue.Queue = queue.Queue(maxsize=max(depth, 1))
    stop = threading.Event()
    done = object()

    def produce() -> None:
        try:
            for item in items:
                while not stop.is_set():
                    try:
                        results.put((item, None), timeout=0.05)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            results.put((done, None))
        except BaseException as e:  # handed to the caller, which raises it
            results.put((done, e))

    thread = threading.Thread(target=produce, name="velkan-read-ahead", daemon=True)
    thread.start()

    def consume() -> Iterator[Any]:
        try:
            while True:
                item, error = results.get()
                if error is not None:
                    raise error
                if item is done:
                    return
                yield item
        finally:
            stop.set()
            while thread.is_alive():
                try:
                    results.get(timeout=0.05)
                except queue.Empty:
                    pass
    return consume()


class ParquetSource(StreamSource):
    """A Parquet file or directory (or any pyarrow dataset), in record batches holding only
    the columns a pass reads, in the dataset's row order."""

    def __init__(self, data: Any, y: Any, sample_weight: Any, offset: Any, chunk_rows: int) -> None:
        super().__init__(y, sample_weight, offset)
        try:
            import pyarrow.dataset as pads
        except ImportError:
            raise ImportError("reading Parquet needs pyarrow: pip install pyarrow") from None
        self.dataset = data if hasattr(data, "to_batches") else pads.dataset(os.fspath(data), format="parquet")
        self.names = list(self.dataset.schema.names)
        self.template = TableColumns(self.dataset.schema.empty_table(), self.names)
        self.rows = self.dataset.count_rows()
        if self.rows == 0:
            raise ValueError("X has no rows")
        for v in self.vectors.values():
            v.check_length(self.rows)
        self.chunk_rows = chunk_rows

    def read(self, needed: set[int] | None) -> Iterator[Chunk]:
        columns = None if needed is None else [self.names[i] for i in sorted(needed)]
        start = 0
        for batch in self.dataset.to_batches(columns=columns, batch_size=self.chunk_rows,
                                             batch_readahead=PARQUET_READAHEAD, fragment_readahead=1):
            if batch.num_rows == 0:
                continue
            yield make_chunk(TableColumns(batch, self.names), start, self.vectors)
            start += batch.num_rows


class ChunkSource(StreamSource):
    """A collection of chunks, read once per pass."""

    def __init__(self, chunks: Any, y: Any, sample_weight: Any, offset: Any) -> None:
        super().__init__(y, sample_weight, offset)
        if not callable(chunks) and iter(chunks) is chunks:
            raise TypeError("X is an iterator, which can be read only once; a fit reads its rows once "
                            "per pass: pass a list of chunks, or a function returning a new iterator")
        self.source = chunks
        first = next(iter(self._iterate()), None)
        if first is None:
            raise ValueError("X has no chunks")
        self.template = chunk_columns(first[0] if isinstance(first, tuple) else first)
        self.has_tuples = isinstance(first, tuple)
        if self.has_tuples and any(v.given for v in self.vectors.values()):
            raise ValueError("the chunks of X carry their own y (tuples); leave y, sample_weight "
                             "and offset out of the call")

    def _iterate(self) -> Iterator[Any]:
        return iter(self.source() if callable(self.source) else self.source)

    def read(self, needed: set[int] | None) -> Iterator[Chunk]:
        start = 0
        for i, item in enumerate(self._iterate()):
            own = None
            if self.has_tuples:
                if not isinstance(item, tuple) or not 2 <= len(item) <= 4:
                    raise ValueError(f"chunk {i} of X is not a tuple (X, y[, sample_weight[, offset]]) "
                                     "like the first")
                own = dict(zip(VECTORS, item[1:]))
                item = item[0]
            columns = chunk_columns(item)
            if columns.n_features != self.template.n_features or columns.names != self.template.names:
                raise ValueError(f"chunk {i} of X has columns {columns.names or columns.n_features}; "
                                 f"the first had {self.template.names or self.template.n_features}")
            if columns.rows == 0:
                continue
            yield make_chunk(columns, start, self.vectors, own)
            start += columns.rows


def _chunk_like(item: Any) -> bool:
    if isinstance(item, tuple):
        return 2 <= len(item) <= 4 and _chunk_like(item[0]) and not isinstance(item[0], tuple)
    return is_table(item) or (isinstance(item, np.ndarray) and item.ndim == 2)


def is_stream_input(X: Any) -> bool:
    """Whether X is read chunk by chunk rather than as one array in memory."""
    if isinstance(X, np.memmap) or isinstance(X, (str, os.PathLike)):
        return True
    if isinstance(X, np.ndarray) or is_table(X):
        return False
    if type(X).__module__.startswith("pyarrow") and hasattr(X, "to_batches"):
        return True  # a pyarrow dataset
    if callable(X):
        return True
    if isinstance(X, (list, tuple)):
        return len(X) > 0 and _chunk_like(X[0])
    try:
        return iter(X) is X  # a one-shot iterator: refused by ChunkSource with its reason
    except TypeError:
        return False


def open_stream(X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None,
                chunk_rows: int | None = None) -> StreamSource:
    """The source reading X (for which `is_stream_input` holds) chunk by chunk."""
    rows = CHUNK_ROWS if chunk_rows is None else chunk_rows
    if isinstance(X, np.memmap):
        # A vector is one column, as for arrays in memory.
        return WindowSource(file_or_array(X.reshape(-1, 1) if X.ndim == 1 else X), y,
                            sample_weight, offset, rows)
    if isinstance(X, (str, os.PathLike)):
        path = os.fspath(X)
        if not os.path.exists(path):
            raise FileNotFoundError(f"X: no file or directory {path!r}")
        if path.endswith(".npy"):
            data = FileArray.from_npy(path)
            if data.ndim == 1:
                data = FileArray(data.path, data.offset, (data.shape[0], 1), data.dtype, False)
            return WindowSource(data, y, sample_weight, offset, rows)
        return ParquetSource(path, y, sample_weight, offset, rows)
    if type(X).__module__.startswith("pyarrow"):
        return ParquetSource(X, y, sample_weight, offset, rows)
    return ChunkSource(X, y, sample_weight, offset)

