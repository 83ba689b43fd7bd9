"""Fits whose rows are read in passes from a source rather than held as one array.

A streamed fit makes a first pass that summarises the columns the terms use (ranges,
means, levels, distinct values: `_summaries`), builds the design from those summaries,
and then runs the same penalized IRLS loop as an in-memory fit, each pass reducing the
source chunk by chunk (or partition by partition, on a Dask cluster) to p x p sums. Memory
beyond the inputs is that of one chunk and the sums: O(chunk x columns + threads x (block
x p + p^2)).

Sums are added in a fixed order (blocks within a thread's contiguous range, the ranges in
order, then the chunks in order), so a fit is reproducible for a given source, chunking
and `n_jobs`; other thread counts or chunkings change only the rounding of those sums.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ._binning import DEFAULT_MAX_BINS, BinnedDesign, CodeStore, bins_rows, stream_pass
from ._design import build_design
from ._families import Family
from ._fit import Fitted, PassProgress
from ._profile import binned_method, fit_model
from ._sources import is_stream_input, open_stream
from ._summaries import Requests
from ._terms import TermList, s


def is_dask_collection(X: Any) -> bool:
    """A dask array or DataFrame (checked without importing dask)."""
    return type(X).__module__.split(".")[0] == "dask" and hasattr(X, "__dask_graph__")


def open_source(X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None) -> Any:
    """The source that streams X (dask collections, memmaps, files, chunk collections), or
    None for data held in memory as one array."""
    if is_dask_collection(X):
        from .dask import DaskSource
        return DaskSource(X, y, sample_weight, offset)
    if is_stream_input(X):
        return open_stream(X, y, sample_weight, offset)
    return None


def has_offset(source: Any) -> bool:
    """Whether a source's rows may carry an offset (True when it cannot say)."""
    vector = getattr(source, "vectors", {}).get("offset")
    return vector is None or any(v is not None for v in (vector.column, vector.scalar, vector.values))


def fit_stream(source: Any, terms: TermList | None, *, family: Family, method: str, fit_intercept: bool,
               max_iter: int, tol: float, verbose: bool, threads: int, frequency_weights: bool = False,
               binning: Any = False, max_bins: int = DEFAULT_MAX_BINS, temp_dir: Any = None,
               select: bool = False) -> Fitted:
    """Fits the model on a source's rows (a summary pass, then `fit_loop`'s passes);
    binned (`_binning`) when `binning` is True, or "auto" on enough rows."""
    if terms is None:
        skip, names = source.vector_columns(), source.feature_names
        terms = TermList(s(j if names is None else names[j]) for j in range(source.n_features)
                         if j not in skip)
    requests = Requests(None if binning is False else max_bins)
    build_design(terms, source.template, requests, fit_intercept, select)
    progress = PassProgress(verbose)
    stats = source.summarise(requests, family.model, progress, threads)
    design = build_design(terms, source.template, stats, fit_intercept, select)
    loop = dict(family=family, method=method, start_level=stats.start_level(frequency_weights) if fit_intercept else None,
                max_iter=max_iter, tol=tol, verbose=verbose, n_features=source.n_features,
                frequency_weights=frequency_weights)
    binned_as = binned_method(family, method, binning) if bins_rows(binning, stats.rows, terms) else None
    if binned_as is None:
        fitted = fit_model(design, source.pass_function(design, family.model, threads, progress), **loop)
    else:
        loop.update(method=binned_as, binned=True)
        binned = BinnedDesign.from_sketches(design, stats.sketches.__getitem__)
        if verbose:
            print(binned.describe(), flush=True)
        if hasattr(source, "binned_pass_function"):
            fitted = fit_model(design, source.binned_pass_function(binned, family.model, threads, progress),
                              **loop)
        elif family.model.linear:
            # One pass suffices: the codes would never be read back.
            fitted = fit_model(design, stream_pass(binned, source, None, family.model, threads, progress),
                              **loop)
        elif (tuples := binned.gather(family.model, stats.start_level(frequency_weights), stats.rows,
                                      has_offset(source), threads)) is not None:
            if verbose:
                print(f"rows gathered into at most {binned.layout.tuple_cells} cells of their bins, "
                      "read by every pass", flush=True)
            fitted = fit_model(design, stream_pass(binned, source, None, family.model, threads, progress,
                                                   tuples), **loop)
        else:
            with CodeStore(binned.row_bytes, stats.rows, temp_dir, verbose) as store:
                run_pass = stream_pass(binned, source, store, family.model, threads, progress)
                fitted = fit_model(design, run_pass, **loop)
        fitted.binned = True
    fitted.passes += 1
    fitted.feature_names = source.feature_names
    return fitted


def predict_source(fitted: Fitted, source: Any, threads: int, verbose: bool, held: bool) -> np.ndarray:
    """Linear predictors of a source's rows (a dask array for a dask source); `held`: every
    smooth held at the ends of its training range."""
    return source.predict(fitted, threads, PassProgress(verbose), held)
