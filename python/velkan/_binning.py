"""Fits on binned covariates.

With ``GAM(binning=True)`` (or ``"auto"`` on at least `AUTO_ROWS` rows) every column a
term reads takes at most ``max_bins`` values: its own distinct values when it has no more
than that (the fit is then the exact fit, to rounding), else one value per bin of about
equally many distinct values (the midpoint of the bin's values). A factor column is
binned by its levels. The first pass over the data fixes the bins (`_summaries` sketches
every numeric column; the engine's ``ColumnSketch``); the rows are then coded once, one
or two bytes per column, and every pass reads the codes instead of the columns. The
engine reduces coded rows to the same cross products as an exact pass over the binned
design, at a few additions per row (``velkan._engine.BinnedPass``). Prediction always
evaluates the exact basis at the new points.

Codes of data in memory are held in memory. A streamed fit writes them once, in the
first pass after the summary, to a `CodeStore`: in memory when they take at most
`CODES_IN_MEMORY_BYTES` (and a quarter of the memory available), otherwise to a
temporary file (in ``temp_dir`` or the system's temporary directory) that is removed at
the end of the fit, also after an error or Ctrl-C. A term whose row does not factor by
column but which the engine can tabulate whole (thin-plate smooths) is evaluated once at
every combination of its columns' bin values; other terms whose kind cannot bin are
evaluated row by row from the raw columns in every pass.

A fit of several passes (any model but a linear one: normal errors, identity link) with
at least `ROWS_PER_CELL` rows per combination of its code columns' bins, no offset and
no column read raw instead gathers its rows by their codes in one pass
(``_engine.CodeTuples``: per occupied cell the summed weight, the mean response, the
spread and the rows; 32 bytes a cell, at most `MAX_CELLS`), and every pass of the fit,
the first included, reads the cells: the same sums as the rows give, but that the first
pass starts each cell's rows from its mean response. The source is then read twice in
all, and no codes are stored.
"""

from __future__ import annotations

import os
import tempfile
import time
from typing import Any, Callable

import numpy as np

from . import _engine
from ._design import Design, ExactStats, factor_codes, numeric_values, place_knots
from ._fit import format_bytes
from ._terms import BASIS_INFO, SmoothTerm

# binning="auto" bins fits of at least this many rows; models with a two-column thin-plate
# smooth from AUTO_ROWS_THIN_PLATE rows. Such a smooth's row costs a radial function per
# point of its basis (tens of times a spline's), and binned it is evaluated once per
# combination of its columns' bins: at 2 x 10^5 rows the default one fits in 0.55 s binned
# against 1.2 s exactly, at 10^6 in 0.55 against 5.5 s, with the same error to 0.1-0.6 %
# (10^5 rows: 0.55 against 0.66 s).
AUTO_ROWS = 2_000_000
AUTO_ROWS_THIN_PLATE = 200_000
DEFAULT_MAX_BINS = 256
MAX_BINS = 4096
# A factor binned by its levels may have at most this many (codes take two bytes).
MAX_FACTOR_BINS = 1 << 16
# Codes of a streamed fit held in memory at most (beyond: a temporary file).
CODES_IN_MEMORY_BYTES = 1 << 30
# A fit of more than one pass gathers its rows by their codes in the first (one row per
# occupied combination of the code columns' bins, `_engine.CodeTuples`, 32 bytes a cell)
# when there are at least this many rows per cell, and at most this many cells; its later
# passes then read the cells instead of the data.
ROWS_PER_CELL = 4
MAX_CELLS = 1 << 24
CELL_BYTES = 32

BINNING_VALUES = (True, False, "auto")


def check_binning(binning: Any, max_bins: Any, temp_dir: Any) -> None:
    """ValueError / TypeError naming the parameter that is not valid."""
    if not any(binning is v or (isinstance(v, str) and binning == v) for v in BINNING_VALUES):
        raise ValueError(f"binning must be True, False or 'auto'; got {binning!r}")
    if isinstance(max_bins, bool) or not isinstance(max_bins, (int, np.integer)) \
            or not 2 <= max_bins <= MAX_BINS:
        raise ValueError(f"max_bins must be an integer from 2 to {MAX_BINS}; got {max_bins!r}")
    if temp_dir is not None:
        if not isinstance(temp_dir, (str, os.PathLike)):
            raise TypeError(f"temp_dir must be a directory path or None; got {type(temp_dir).__name__}")
        if not os.path.isdir(temp_dir):
            raise ValueError(f"temp_dir: no directory {os.fspath(temp_dir)!r}")


def bins_rows(binning: Any, rows: int, terms: Any = ()) -> bool:
    """Whether a fit of `terms` on `rows` rows is binned."""
    if binning is True or binning is False:
        return binning
    tabulated = any(isinstance(t, SmoothTerm) and not t.tensor and len(t.cols) == 2
                    and not BASIS_INFO[t.bs[0]].tensor_margin for t in terms)
    return rows >= (AUTO_ROWS_THIN_PLATE if tabulated else AUTO_ROWS)


class BinnedDesign:
    """The bins of a design's input columns (None: read raw) and the engine's binned
    layout of its terms (`spec`: the design's term specs, `inputs`: its input columns)."""

    def __init__(self, spec: list, inputs: list, bins: list) -> None:
        self.spec, self.inputs, self.bins = spec, inputs, bins
        self.layout = _engine.BinnedLayout.create(_engine.Layout(spec), bins)
        self.code_columns = list(self.layout.code_columns)
        self.raw_columns = list(self.layout.raw_columns)
        self.row_bytes = sum(1 if bins[c].size <= 256 else 2 for c in self.code_columns)

    @classmethod
    def from_sketches(cls, design: Design, sketch: Callable[[int], Any]) -> "BinnedDesign":
        """`sketch(position)`: the ColumnSketch of the user's column at that position."""
        bins: list[Any] = []
        for inp in design.inputs:
            if inp.levels is None:
                bins.append(sketch(inp.source).bins())
            elif len(inp.levels) <= MAX_FACTOR_BINS:
                levels = float(len(inp.levels))
                bins.append(_engine.ColumnBins(np.arange(1.0, levels), np.arange(levels), True))
            else:
                bins.append(None)
        return cls(design.spec, design.inputs, bins)

    def describe(self) -> str:
        sizes = [self.bins[c].size for c in self.code_columns]
        exact = sum(bool(self.bins[c].exact) for c in self.code_columns)
        text = (f"binned: {len(sizes)} column(s), {min(sizes, default=0)} to {max(sizes, default=0)} "
                f"bins ({exact} exact)")
        raw = [mode for mode in self.layout.modes if mode == "raw"]
        return text + (f"; {len(raw)} term(s) evaluated from the raw columns" if raw else "")

    def code(self, columns: Any, n_features: int, first_row: int, threads: int,
             coded: bool = True) -> tuple[list, list, int]:
        """Codes of one chunk's binned input columns (unless `coded` is False), the raw
        values of those a term reads raw (None elsewhere) and the bytes of the columns
        read; checked as the exact pass checks its columns."""
        if columns.n_features != n_features:
            raise ValueError(f"X has {columns.n_features} columns; the model was fitted on {n_features}")
        codes: list[Any] = [None] * len(self.bins)
        raw: list[Any] = [None] * len(self.bins)
        nbytes = 0
        for c, inp in enumerate(self.inputs):
            want_codes = coded and c in self.code_columns
            if not want_codes and c not in self.raw_columns:
                continue
            col = columns.column(inp.source)
            nbytes += col.nbytes
            if inp.levels is not None:
                values = factor_codes(col, inp.levels, inp.label, first_row)
                if want_codes:
                    codes[c] = values.astype(np.uint8 if len(inp.levels) <= 256 else np.uint16)
            else:
                values = col if col.dtype == np.float64 else numeric_values(col, inp.label, "fit", first_row)
                if want_codes:
                    codes[c], bad = self.bins[c].codes(values, threads)
                    if bad < len(values):
                        raise ValueError(f"X contains NaN or infinite values (column {inp.label!r}, "
                                         f"row {first_row + bad})")
            if c in self.raw_columns:
                raw[c] = values if inp.levels is not None else numeric_values(values, inp.label, "fit", first_row)
        return codes, raw, nbytes

    def new_pass(self, model: Any, beta0: np.ndarray, from_response: bool, column_sums: bool,
                 threads: int) -> Any:
        return _engine.BinnedPass(self.layout, model, beta0, from_response, column_sums, threads)

    def gather(self, model: Any, start_level: float, rows: int, offset: bool, threads: int) -> Any:
        """The engine's CodeTuples that one pass over the rows fills and every pass of the
        fit reads instead of them, or None when gathering would not pay or fit: a fit of one
        pass (a linear model), an offset (it differs within a cell), a column read raw,
        fewer than `ROWS_PER_CELL` rows per cell, cells taking more than a quarter of the
        memory available."""
        cells = self.layout.tuple_cells
        if model.linear or offset or not 0 < cells <= min(MAX_CELLS, rows // ROWS_PER_CELL):
            return None
        if CELL_BYTES * cells > _available_memory() // 4:
            return None  # the rows are read each pass instead: slower, but within memory
        return _engine.CodeTuples(self.layout, model, start_level, threads)


def sketch_rows(sketch: Any, x: np.ndarray, w: np.ndarray | None, label: Any, what: str,
                first_row: int) -> None:
    """Adds a chunk's values to a column's sketch. Rows of zero weight are no part of the
    fit: they place no bins or knots, as in an exact fit; a non-finite value in any row is
    refused, naming the row."""
    keep = None if w is None or bool((w > 0).all()) else w > 0
    xs, ws = (x, w) if keep is None else (x[keep], w[keep])
    if sketch.update(xs, ws) < len(xs) or (keep is not None and not np.isfinite(x).all()):
        numeric_values(x, label, what, first_row)  # raises, naming the row


class SketchStats(ExactStats):
    """`ExactStats` for a binned fit of data in memory: each numeric column a term reads is
    checked and sketched once, in one pass, and its range and mean come from the sketch."""

    def __init__(self, columns: Any, weights: np.ndarray | None, max_bins: int) -> None:
        super().__init__(columns, weights)
        self.max_bins = max_bins
        self.sketches: dict[int, Any] = {}
        self.values: dict[int, np.ndarray] = {}

    def sketch(self, position: int, what: str = "fit") -> Any:
        if position not in self.sketches:
            col, label = self.columns.column(position), self.columns.label(position)
            x = col if col.dtype == np.float64 else numeric_values(col, label, what)
            sketch = _engine.ColumnSketch(self.max_bins)
            sketch_rows(sketch, x, self.weights, label, what, 0)
            self.sketches[position], self.values[position] = sketch, x
        return self.sketches[position]

    def numeric(self, position: int, what: str) -> np.ndarray:
        self.sketch(position, what)
        return self.values[position]

    def knots(self, position: int, k: int, bs: str, period: Any, what: str, cap: tuple = (False, False)) -> Any:
        sketch = self.sketch(position, what)
        x = self.values[position]
        if self.weights is not None:
            x = x[self.weights > 0]  # rows of zero weight place no knots
        return place_knots(bs, k, sketch.min, sketch.max, lambda: np.unique(x),
                           period, what, self.columns.label(position), cap)

    def mean(self, position: int, what: str) -> float:
        total = len(self.values.get(position, ())) if self.weights is None else float(self.weights.sum())
        return self.sketch(position, what).weighted_sum / (total or self.columns.rows)


def memory_pass(binned: BinnedDesign, chunk: Any, n_features: int, model: Any,
                threads: int, start_level: float) -> Callable:
    """The `run_pass` of a binned fit of data in memory (coded once, here; gathered by
    the first pass when `BinnedDesign.gather` finds it pays)."""
    codes, raw, _ = binned.code(chunk.columns, n_features, 0, threads)
    tuples = binned.gather(model, start_level, chunk.rows, chunk.offset is not None, threads)

    def run_pass(layout: Any, beta0: np.ndarray, from_response: bool, column_sums: bool,
                 request: Any = None) -> Any:  # binned fits ask for no optional sums
        sums = binned.new_pass(model, beta0, from_response, column_sums, threads)
        if tuples is None:
            sums.add(codes, raw, chunk.y, chunk.weights, chunk.offset, 0)
            return sums.result()
        if not tuples.finished:
            tuples.add(codes, chunk.y, chunk.weights, 0)
            tuples.finish()
        sums.add_tuples(tuples)
        return sums.result()
    return run_pass


# ----------------------------------------------------------------------------- streams
class CodeStore:
    """The codes of a streamed fit, written once (in row order, one segment per chunk of
    the pass that codes them) and read by every later pass: held in memory, or in a
    temporary file removed by `close` (a context manager's exit)."""

    def __init__(self, row_bytes: int, rows: int, temp_dir: Any, verbose: bool) -> None:
        self.nbytes = row_bytes * rows
        self.segments: list[tuple[int, int, Any]] = []   # (first row, rows, arrays or file offset)
        self.path: str | None = None
        self.file: Any = None
        self.written = 0
        if self.nbytes > min(CODES_IN_MEMORY_BYTES, _available_memory() // 4):
            fd, self.path = tempfile.mkstemp(prefix="velkan-codes-", suffix=".bin", dir=temp_dir)
            self.file = os.fdopen(fd, "w+b", buffering=0)
        if verbose:
            where = f"a temporary file {self.path}" if self.path else "memory"
            print(f"codes: {format_bytes(self.nbytes)} in {where}", flush=True)

    def __enter__(self) -> "CodeStore":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        if self.file is not None:
            self.file.close()
            self.file = None
        if self.path is not None:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass
            self.path = None
        self.segments = []

    def put(self, first: int, codes: list) -> None:
        rows = next(len(c) for c in codes if c is not None)
        if self.file is None:
            self.segments.append((first, rows, codes))
            return
        self.segments.append((first, rows, (self.written, [None if c is None else c.dtype for c in codes])))
        for c in codes:
            if c is not None:
                self.file.write(memoryview(np.ascontiguousarray(c)).cast("B"))
                self.written += c.nbytes

    def get(self, index: int, first: int, rows: int) -> list:
        """The codes of segment `index`, which must cover rows [first, first + rows)."""
        if index >= len(self.segments) or self.segments[index][:2] != (first, rows):
            raise ValueError("the source gave other rows on a later pass than on the first "
                             "(was it changed during the fit?)")
        stored = self.segments[index][2]
        if self.file is None:
            return stored
        offset, dtypes = stored
        out = []
        for dtype in dtypes:
            if dtype is None:
                out.append(None)
                continue
            array = np.empty(rows, dtype=dtype)
            _read_at(self.file, memoryview(array).cast("B"), offset, self.path)
            offset += array.nbytes
            out.append(array)
        return out


def _read_at(file: Any, view: memoryview, offset: int, path: Any) -> None:
    """Fills `view` from `file` at byte `offset` (ValueError when the file ends first)."""
    done = 0
    while done < view.nbytes:
        if hasattr(os, "preadv"):
            got = os.preadv(file.fileno(), [view[done:]], offset + done)
        else:
            file.seek(offset + done)
            got = file.readinto(view[done:])
        if not got:
            raise ValueError(f"the code file {path} ended early")
        done += got


def _available_memory() -> int:
    """Bytes of memory available to new allocations (physical memory when unknown)."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return 1 << 34


def stream_pass(binned: BinnedDesign, source: Any, store: CodeStore | None, model: Any, threads: int,
                progress: Any, tuples: Any = None) -> Callable:
    """The `run_pass` of a binned streamed fit: the first call codes the source's chunks
    into `store`, later calls read the codes back with the response, weights and offset
    (without a store, every call codes the chunks afresh). With `tuples` (CodeTuples) the
    first call gathers the rows instead, and later calls read the cells."""
    needed = {binned.inputs[c].source for c in binned.code_columns + binned.raw_columns}
    raw_needed = {binned.inputs[c].source for c in binned.raw_columns}
    n_features = source.n_features

    def run_pass(layout: Any, beta0: np.ndarray, from_response: bool, column_sums: bool,
                 request: Any = None) -> Any:  # binned fits ask for no optional sums
        sums = binned.new_pass(model, beta0, from_response, column_sums, threads)
        if tuples is not None:
            if not tuples.finished:
                gather_rows(binned, source, tuples, threads, progress, needed)
            start = time.perf_counter()
            sums.add_tuples(tuples)
            progress.finished("cells of gathered rows", tuples.size, time.perf_counter() - start)
            return sums.result()
        coded = store is not None and bool(store.segments)
        what = "cross products" if coded else "coding, cross products"
        for i, chunk in enumerate(progress.track(source.chunks(raw_needed if coded else needed),
                                                 source.rows, what)):
            if coded:
                codes = store.get(i, chunk.start, chunk.rows)
                _, raw, nbytes = binned.code(chunk.columns, n_features, chunk.start, threads, False)
                nbytes += sum(c.nbytes for c in codes if c is not None)
            else:
                codes, raw, nbytes = binned.code(chunk.columns, n_features, chunk.start, threads)
                if store is not None:
                    store.put(chunk.start, codes)
            progress.read(nbytes + sum(v.nbytes for v in (chunk.y, chunk.weights, chunk.offset)
                                       if v is not None))
            sums.add(codes, raw, chunk.y, chunk.weights, chunk.offset, chunk.start)
        return sums.result()
    return run_pass


def gather_rows(binned: BinnedDesign, source: Any, tuples: Any, threads: int, progress: Any,
                needed: set) -> None:
    """Codes the source's chunks into `tuples` (CodeTuples) and forms its groups."""
    for chunk in progress.track(source.chunks(needed), source.rows, "coding, gathering"):
        codes, _, nbytes = binned.code(chunk.columns, source.n_features, chunk.start, threads)
        progress.read(nbytes + sum(v.nbytes for v in (chunk.y, chunk.weights) if v is not None))
        tuples.add(codes, chunk.y, chunk.weights, chunk.start)
    tuples.finish()
