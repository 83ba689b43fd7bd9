"""Saving and loading fitted models.

The model file format, version 1
--------------------------------
A model file is a ZIP archive whose members are all *stored* (not compressed):

``velkan-model.json``
    UTF-8 JSON (NaN and infinities written as ``NaN`` / ``Infinity``) with the keys
    ``format`` (always ``"velkan-model"``), ``version`` (this format's version, 1),
    ``written_by`` (the velkan version), ``estimator`` (``"GAM"``, ``"GAMRegressor"`` or
    ``"GAMClassifier"``), ``params`` (the estimator's constructor arguments; ``terms`` as
    ``null``, ``{"formula": text}`` or ``{"terms": text}``, the text being formula
    syntax; ``family`` as a name or ``{"family": name, "link": link, "parameters":
    {...}}``), ``fitted`` (the fitted model's scalars and lists), ``design`` (the engine
    layout's term specs: per term ``kind``, ``columns``, ``margins`` as ``[basis, k,
    knots]``, ``levels`` and ``center``, and when not at their defaults ``by``,
    ``interaction_only``, ``select`` and ``constraint``; a thin-plate term also ``k``,
    ``points``, ``transform``, ``penalty_values``, ``standardise`` and ``box``; the input
    columns with their factor levels (``random`` for a random effect's grouping column),
    the terms' labels and penalties (``random`` for random effects), the fixed smoothing
    parameters), ``rug`` (per input
    column, the name of its rug array or null), ``attributes`` (estimator attributes such
    as a classifier's ``classes_``) and ``arrays`` (name -> shape).

``arrays/<name>.npy``
    One NumPy ``.npy`` array each (float64, never object arrays): ``beta_raw``,
    ``column_sums`` (one per raw design column), ``beta``, ``edf``, ``xtwx`` (the
    centred parameterisation), ``rho`` (one per penalty), ``rug_<i>``; when present
    ``ridge``, ``rho_hessian`` and, for a fit whose shape constraints are active,
    ``constraint_basis``.

Factor levels and other labels are JSON values tagged with their NumPy dtype. Floats are
written in their shortest round-trip form, so a loaded model predicts bit-identically.

Reading checks everything before it allocates anything large: the format and version,
that every member is stored and fits in the file, the JSON's types, the memory the engine
layout will take against the file's size, the term specs (validated by the engine as it
builds the layout, exactly as for a fit), and every array's header (dtype, shape) against
the layout, before its data is read. Text labels keep their declared width only where the
values fit it and the file's size pays for it (else they are read as Python strings).
Then the model must be consistent: every number finite and in its domain, the raw
coefficients the expansion of the centred ones, the fixed smoothing parameters those of
``rho``, the parameters valid for the estimator. Nothing is ever unpickled. Any
inconsistency is a :class:`ModelFileError`. Building the estimator from what is read is `velkan.load`'s
(`_load`), so that this module needs no estimator class.
"""

from __future__ import annotations

import dataclasses
import io
import json
import math
import os
import re
import tempfile
import zipfile
from typing import IO, Any, NamedTuple

import numpy as np

from . import _engine
from ._design import Design, InputColumn, TermInfo
from ._families import Family, family_from_fit
from ._fit import Fitted

FORMAT = "velkan-model"
FORMAT_VERSION = 1
METADATA = "velkan-model.json"
ARRAY_DIR = "arrays/"
# Largest metadata member read (the JSON of a model with thousands of terms is a few MB).
MAX_METADATA_BYTES = 64 * 2**20
# Engine memory a file may ask for: the layout's penalty matrices grow with the square of
# each term's width, as the saved X'WX does, so a file's own size bounds them.
LAYOUT_MEMORY_PER_FILE_BYTE = 16
LAYOUT_MEMORY_ALLOWANCE = 16 * 2**20
# Fixed-width text labels (factor levels, classes) take width x count x 4 bytes, however
# short their values: together they may take this much per byte of the file, and each
# label array at most MAX_LABEL_WIDTH characters per value (a prediction copies one
# label per row). Beyond either, labels are read as Python strings (object arrays),
# whose memory follows the file's own bytes.
LABEL_MEMORY_PER_FILE_BYTE = 4
LABEL_MEMORY_ALLOWANCE = 2**20
MAX_LABEL_WIDTH = 256
_FIXED_DATE = (1980, 1, 1, 0, 0, 0)
_NUMERIC_DTYPE = re.compile(r"^[<>|=]?[fiub][1248]$")
_UNICODE_DTYPE = re.compile(r"^[<>|=]?U\d{1,6}$")


class ModelFileError(ValueError):
    """A model file that cannot be read: not a model file, corrupted, truncated,
    inconsistent, or written by a newer velkan.

    >>> import io
    >>> from velkan import load
    >>> load(io.BytesIO(b"not a model"))
    Traceback (most recent call last):
    ...
    velkan._io.ModelFileError: the file: not a velkan model file (File is not a zip file)
    """


# --------------------------------------------------------------------------- writing
def _json_levels(values: np.ndarray, what: str) -> dict:
    """A label array (factor levels, classes) as tagged JSON."""
    if values.dtype.kind in "fiub":
        return {"dtype": values.dtype.str, "values": values.tolist()}
    if values.dtype.kind == "U":
        return {"dtype": values.dtype.str, "values": values.tolist()}
    if values.dtype.kind == "O":
        items = values.tolist()
        if all(isinstance(v, (str, int, float)) for v in items):
            return {"dtype": "object", "values": items}
    raise TypeError(f"{what} ({values.dtype}) cannot be written to a model file: levels must be "
                    "numbers, booleans or strings")


# Term spec fields added after the first version; written only when not at their default,
# so that files of models without them are as before.
_SPEC_OPTIONS = {"by": "", "interaction_only": False, "select": False, "constraint": ""}
_SPEC_ARRAYS = ("points", "transform", "penalty_values", "standardise", "box")


def _spec_json(spec: Any) -> dict:
    out = {"kind": spec.kind, "columns": [int(c) for c in spec.columns],
           "margins": [[m.basis, int(m.k), np.asarray(m.knots, dtype=float).tolist()] for m in spec.margins],
           "levels": int(spec.levels), "center": float(spec.center)}
    for key, default in _SPEC_OPTIONS.items():
        if getattr(spec, key) != default:
            out[key] = getattr(spec, key)
    if spec.k:
        out["k"] = int(spec.k)
        for key in _SPEC_ARRAYS:
            out[key] = np.asarray(getattr(spec, key), dtype=float).tolist()
    return out


def _design_json(design: Design) -> dict:
    inputs = [{"source": int(i.source), "label": _plain(i.label),
               "levels": None if i.levels is None else _json_levels(i.levels, f"the levels of column {i.label!r}"),
               **({"random": True} if i.random else {})}
              for i in design.inputs]
    terms = [{"label": t.label, "kind": t.kind, "penalties": [int(p) for p in t.penalties],
              "sources": [_plain(c) for c in t.sources], **({"random": True} if t.random else {})}
             for t in design.terms]
    return {"spec": [_spec_json(s) for s in design.spec], "inputs": inputs, "terms": terms,
            "lams": [None if v is None else float(v) for v in design.lams]}


def _plain(value: Any) -> Any:
    """A column label as JSON: a string or an integer."""
    if isinstance(value, (np.integer, int)) and not isinstance(value, bool):
        return int(value)
    if isinstance(value, str):
        return value
    raise TypeError(f"column label {value!r} cannot be written to a model file (strings and integers only)")


def _params_json(estimator: Any) -> dict:
    params: dict[str, Any] = {}
    for name in param_names(type(estimator)):
        value = getattr(estimator, name)
        if name == "terms":
            if value is None:
                params[name] = None
            elif isinstance(value, str):
                params[name] = {"formula": value}
            else:
                from ._terms import as_terms
                params[name] = {"terms": repr(as_terms(value))}
        elif isinstance(value, Family):
            params[name] = {"family": value.name, "link": value.link,
                            "parameters": {k: v for k, v in value.parameters.items() if v is not None}}
        elif value is None or isinstance(value, (bool, int, float, str)):
            params[name] = value
        elif isinstance(value, np.generic):
            params[name] = value.item()
        else:
            raise TypeError(f"parameter {name}={value!r} cannot be written to a model file")
    return params


def param_names(cls: type) -> list[str]:
    import inspect

    return [p.name for p in inspect.signature(cls.__init__).parameters.values()  # type: ignore[misc]
            if p.name != "self" and p.kind == p.POSITIONAL_OR_KEYWORD]


def _npy_bytes(array: np.ndarray) -> bytes:
    buf = io.BytesIO()
    np.lib.format.write_array(buf, np.ascontiguousarray(array, dtype=np.float64), allow_pickle=False)
    return buf.getvalue()


# Fitted fields that are not data of the model: the compiled layout (rebuilt from the
# design) and the covariance cache (recomputed on demand).
_NOT_SAVED = ("design", "layout", "inference")


def save(estimator: Any, path: "str | os.PathLike[str] | IO[bytes]") -> None:
    """Write a fitted estimator to `path` (a file name, path object or binary file)."""
    fitted: Fitted | None = getattr(estimator, "_fitted", None)
    if fitted is None:
        raise ValueError(f"this {type(estimator).__name__} is not fitted yet; fit it before saving")
    arrays: dict[str, np.ndarray] = {}
    scalars: dict[str, Any] = {}
    for fld in dataclasses.fields(Fitted):
        value = getattr(fitted, fld.name)
        if fld.name in _NOT_SAVED:
            continue
        if isinstance(value, np.ndarray):
            arrays[fld.name] = value
        elif isinstance(value, (np.floating, np.integer, np.bool_)):
            scalars[fld.name] = value.item()
        elif fld.name == "feature_names" and value is not None:
            scalars[fld.name] = [_plain(v) for v in value]
        elif fld.name in ("undetermined", "removed_terms"):
            scalars[fld.name] = [int(v) for v in value]
        elif fld.name == "response_sums":
            scalars[fld.name] = {str(k): float(v) for k, v in value.items()}
        else:
            scalars[fld.name] = value
    rug: list[str | None] = []
    for i, values in enumerate(getattr(estimator, "_rug", None) or []):
        if values is None:
            rug.append(None)
        else:
            arrays[f"rug_{i}"] = values
            rug.append(f"rug_{i}")
    attributes = {name: _json_levels(np.asarray(getattr(estimator, name)), name)
                  for name in getattr(estimator, "_saved_attributes", ())}
    from . import __version__

    meta = {"format": FORMAT, "version": FORMAT_VERSION, "written_by": f"velkan {__version__}",
            "estimator": type(estimator).__name__, "params": _params_json(estimator),
            "fitted": scalars, "design": _design_json(fitted.design), "rug": rug,
            "attributes": attributes,
            "arrays": {name: list(np.shape(a)) for name, a in arrays.items()}}
    members = [(METADATA, json.dumps(meta, indent=1).encode("utf-8"))]
    members += [(f"{ARRAY_DIR}{name}.npy", _npy_bytes(a)) for name, a in arrays.items()]

    def write(fileobj: IO[bytes]) -> None:
        with zipfile.ZipFile(fileobj, "w", compression=zipfile.ZIP_STORED) as zf:
            for name, data in members:
                zf.writestr(zipfile.ZipInfo(name, _FIXED_DATE), data, compress_type=zipfile.ZIP_STORED)

    if not isinstance(path, (str, os.PathLike)):
        write(path)
        return
    # Written beside the target and moved over it, so a failed save leaves any earlier
    # file at `path` intact.
    path = os.fspath(path)
    fd, tmp = tempfile.mkstemp(prefix=".velkan-", dir=os.path.dirname(os.path.abspath(path)))
    try:
        with os.fdopen(fd, "wb") as fh:
            write(fh)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


# --------------------------------------------------------------------------- reading
class _Json:
    """Typed access to the metadata; every refusal names where in the file it is."""

    @staticmethod
    def get(obj: Any, key: str, types: type | tuple, where: str, optional: bool = False) -> Any:
        if not isinstance(obj, dict):
            raise ModelFileError(f"{where} is not a JSON object")
        if key not in obj:
            if optional:
                return None
            raise ModelFileError(f"{where} has no {key!r}")
        value = obj[key]
        if optional and value is None:
            return None
        if isinstance(value, bool) and bool not in (types if isinstance(types, tuple) else (types,)):
            raise ModelFileError(f"{where}.{key} has the wrong type (bool)")
        if not isinstance(value, types):
            raise ModelFileError(f"{where}.{key} has the wrong type ({type(value).__name__})")
        return value

    @staticmethod
    def index(value: Any, bound: int, where: str) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < bound:
            raise ModelFileError(f"{where} must be an integer in [0, {bound}), got {value!r}")
        return value

    @staticmethod
    def label(value: Any, where: str) -> str | int:
        if isinstance(value, str) or (isinstance(value, int) and not isinstance(value, bool) and value >= 0):
            return value
        raise ModelFileError(f"{where} must be a column name or position, got {value!r}")


class _LabelBudget:
    """The bytes fixed-width label arrays of one file may still take."""

    def __init__(self, file_size: int) -> None:
        self.remaining = LABEL_MEMORY_PER_FILE_BYTE * file_size + LABEL_MEMORY_ALLOWANCE

    def fixed_width(self, count: int, width: int) -> bool:
        """Whether `count` labels of `width` characters may be held at that width (and
        take it from the budget)."""
        need = 4 * count * width
        if width > MAX_LABEL_WIDTH or need > self.remaining:
            return False
        self.remaining -= need
        return True


def _objects(values: list) -> np.ndarray:
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _levels(obj: Any, where: str, budget: _LabelBudget) -> np.ndarray:
    """A label array from its tagged JSON. The declared width of text labels is checked
    against the values before anything of that width is allocated."""
    dtype = _Json.get(obj, "dtype", str, where)
    values = _Json.get(obj, "values", list, where)
    if dtype == "object":
        if not all(isinstance(v, (str, int, float)) for v in values):
            raise ModelFileError(f"{where}: levels must be strings or numbers")
        return _objects(values)
    if _UNICODE_DTYPE.match(dtype):
        width = int(dtype.lstrip("<>|=")[1:])
        if not all(isinstance(v, str) for v in values):
            raise ModelFileError(f"{where}: levels of dtype {dtype!r} must be strings")
        longest = max(map(len, values), default=0)
        if longest > width:
            raise ModelFileError(f"{where}: a level of {longest} characters does not fit dtype {dtype!r}")
        return np.array(values, dtype=dtype) if budget.fixed_width(len(values), width) else _objects(values)
    if not _NUMERIC_DTYPE.match(dtype):
        raise ModelFileError(f"{where}: unsupported level dtype {dtype!r}")
    if not all(isinstance(v, (int, float)) for v in values):
        raise ModelFileError(f"{where}: levels of dtype {dtype!r} must be numbers")
    try:
        levels = np.array(values, dtype=np.dtype(dtype))
    except (TypeError, ValueError, OverflowError) as e:
        raise ModelFileError(f"{where}: levels do not fit dtype {dtype!r} ({e})") from None
    if levels.dtype.kind == "f" and not np.isfinite(levels).all():
        raise ModelFileError(f"{where}: levels must be finite")
    return levels


def _numbers(value: Any, where: str) -> list:
    if not isinstance(value, list) or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                                              for v in value):
        raise ModelFileError(f"{where} must be a list of numbers")
    return value


def _term_spec(entry: Any, where: str, n_inputs: int) -> Any:
    """A term spec from its JSON; the engine validates the values when it builds the layout."""
    kind = _Json.get(entry, "kind", str, where)
    columns = [_Json.index(c, n_inputs, f"{where}.columns")
               for c in (_Json.get(entry, "columns", list, where, optional=True) or [])]
    margins = []
    for m, margin in enumerate(_Json.get(entry, "margins", list, where, optional=True) or []):
        mw = f"{where}.margins[{m}]"
        if not (isinstance(margin, list) and len(margin) == 3 and isinstance(margin[0], str)):
            raise ModelFileError(f"{mw}: expected [basis, k, knots]")
        k = _Json.index(margin[1], 2**31, f"{mw}.k")
        margins.append(_engine.MarginSpec(margin[0], k, np.array(_numbers(margin[2], f"{mw}.knots"),
                                                                 dtype=np.float64)))
    levels = _Json.get(entry, "levels", int, where, optional=True) or 0
    center = _Json.get(entry, "center", (int, float), where, optional=True) or 0.0
    if levels < 0 or levels >= 2**31:
        raise ModelFileError(f"{where}.levels must be a count")
    options = {key: _Json.get(entry, key, type(default), where, optional=True) or default
               for key, default in _SPEC_OPTIONS.items()}
    spec = _engine.TermSpec(kind, columns, margins, levels, float(center), **options)
    if "k" not in entry:
        return spec
    # A thin-plate term: its basis's arrays, through the same state the engine pickles.
    k = _Json.index(entry["k"], 2**31, f"{where}.k")
    arrays = {}
    for key in _SPEC_ARRAYS:
        values = np.array(_numbers_nested(_Json.get(entry, key, list, where), f"{where}.{key}"), dtype=np.float64)
        arrays[key] = values.reshape(len(values), -1) if key in ("points", "transform") else values.ravel()
    state = spec.__getstate__()
    extra = dict(state[5], k=k, **arrays)
    built = _engine.TermSpec.__new__(_engine.TermSpec)
    built.__setstate__(state[:5] + (extra,))
    return built


def _numbers_nested(value: Any, where: str) -> list:
    """A list of numbers or a list of equal-length lists of numbers."""
    if value and isinstance(value[0], list):
        width = len(value[0])
        if not all(isinstance(row, list) and len(row) == width for row in value):
            raise ModelFileError(f"{where} must be a matrix")
        return [_numbers(row, where) for row in value]
    return _numbers(value, where)


def _inputs(d: dict, budget: _LabelBudget) -> list[InputColumn]:
    inputs = []
    for i, inp in enumerate(_Json.get(d, "inputs", list, "design")):
        where = f"design.inputs[{i}]"
        levels = _Json.get(inp, "levels", dict, where, optional=True)
        inputs.append(InputColumn(_Json.index(_Json.get(inp, "source", int, where), 2**31, where + ".source"),
                                  None if levels is None else _levels(levels, where + ".levels", budget),
                                  _Json.label(inp.get("label"), where + ".label"),
                                  bool(_Json.get(inp, "random", bool, where, optional=True))))
    return inputs


def _design(meta: dict, budget: _LabelBudget) -> tuple[Design, int]:
    """The design described by the metadata, and the memory in bytes its engine layout
    will take."""
    d = _Json.get(meta, "design", dict, "file")
    inputs = _inputs(d, budget)
    spec = [_term_spec(entry, f"design.spec[{t}]", len(inputs))
            for t, entry in enumerate(_Json.get(d, "spec", list, "design"))]
    n_penalties = len(_Json.get(d, "lams", list, "design"))
    terms = []
    for t, term in enumerate(_Json.get(d, "terms", list, "design")):
        where = f"design.terms[{t}]"
        pens = _Json.get(term, "penalties", list, where)
        sources = tuple(_Json.label(c, where + ".sources") for c in _Json.get(term, "sources", list, where))
        kind = _Json.get(term, "kind", str, where)
        if t >= len(spec) or kind != spec[t].kind:
            raise ModelFileError(f"{where} does not match design.spec[{t}]")
        levels = (inputs[spec[t].columns[0]].levels if spec[t].levels and spec[t].columns
                  and not spec[t].by else None)
        terms.append(TermInfo(_Json.get(term, "label", str, where), kind,
                              [_Json.index(p, n_penalties, where + ".penalties") for p in pens], levels, sources,
                              bool(_Json.get(term, "random", bool, where, optional=True))))
    if len(terms) != len(spec) or not spec:
        raise ModelFileError("design.terms and design.spec differ in length")
    lams = []
    for i, v in enumerate(_Json.get(d, "lams", list, "design")):
        if v is not None and (isinstance(v, bool) or not isinstance(v, (int, float)) or not 0 < v < math.inf):
            raise ModelFileError(f"design.lams[{i}] must be a positive number or null")
        lams.append(None if v is None else float(v))
    design = Design(spec, inputs, terms, lams)
    try:
        design.check_inputs()
    except ValueError as e:
        raise ModelFileError(f"design: {e}") from None
    return design, _engine.Layout.memory_estimate(spec)


def _read_array(zf: zipfile.ZipFile, name: str, shape: tuple[int, ...] | None) -> np.ndarray:
    """An array member; its header is checked (float64, `shape` unless None, size) before
    its data is read."""
    member = f"{ARRAY_DIR}{name}.npy"
    try:
        data = zf.read(member)
    except KeyError:
        raise ModelFileError(f"the file has no array {name!r}") from None
    f = io.BytesIO(data)
    try:
        version = np.lib.format.read_magic(f)
        read_header = {(1, 0): np.lib.format.read_array_header_1_0,
                       (2, 0): np.lib.format.read_array_header_2_0}.get(version)
        if read_header is None:
            raise ValueError(f"unsupported .npy version {version}")
        got_shape, fortran, dtype = read_header(f)
    except (ValueError, SyntaxError, TypeError) as e:
        raise ModelFileError(f"array {name!r} has a malformed header ({e})") from None
    if dtype != np.dtype("<f8") or fortran or len(got_shape) > 2:
        raise ModelFileError(f"array {name!r} must be a float64 vector or matrix in C order")
    if shape is not None and tuple(got_shape) != shape:
        raise ModelFileError(f"array {name!r} has shape {tuple(got_shape)}; the model needs {shape}")
    count = math.prod(got_shape)
    if len(data) - f.tell() != 8 * count:
        raise ModelFileError(f"array {name!r} holds {len(data) - f.tell()} bytes for {count} values")
    return np.frombuffer(data, dtype="<f8", count=count, offset=f.tell()).reshape(got_shape).astype(np.float64)


def _fitted(meta: dict, design: Design, layout: Any, zf: zipfile.ZipFile) -> Fitted:
    scalars = _Json.get(meta, "fitted", dict, "file")
    declared = _Json.get(meta, "arrays", dict, "file")
    p, q, m = layout.width, layout.coefficients, len(layout.penalty_terms)
    shapes: dict[str, tuple[int, ...]] = {"column_sums": (p,), "beta_raw": (p,), "beta": (q,),
                                          "edf": (q,), "xtwx": (q, q), "rho": (m,)}
    optional_shapes = {"ridge": (q,), "rho_hessian": (m, m), "rho_gradient": (m,), "constraint_basis": None}
    kwargs: dict[str, Any] = {"design": design}
    for fld in dataclasses.fields(Fitted):
        if fld.name in _NOT_SAVED:
            continue
        if fld.name in optional_shapes and fld.name in declared:
            kwargs[fld.name] = _read_array(zf, fld.name, optional_shapes[fld.name])
            continue
        if fld.name in declared:
            kwargs[fld.name] = _read_array(zf, fld.name, shapes.get(fld.name))
        elif fld.name in scalars:
            kwargs[fld.name] = scalars[fld.name]
        elif fld.default is dataclasses.MISSING and fld.default_factory is dataclasses.MISSING:
            raise ModelFileError(f"the fitted model has no {fld.name!r}")
    known = {fld.name for fld in dataclasses.fields(Fitted)}
    unknown = (set(scalars) | set(declared)) - known - {n for n in declared if n.startswith("rug_")}
    if unknown:
        raise ModelFileError(f"unknown fitted fields {sorted(unknown)}")
    for name in shapes:
        if not isinstance(kwargs.get(name), np.ndarray):
            raise ModelFileError(f"the fitted model has no array {name!r}")
    _check_family(kwargs)
    for name in ("scale", "score", "deviance", "pearson", "rows", "weight_sum"):
        if isinstance(kwargs.get(name), bool) or not isinstance(kwargs.get(name), (int, float)):
            raise ModelFileError(f"fitted.{name} must be a number")
        kwargs[name] = float(kwargs[name])
    for name, kind in (("converged", bool), ("n_iter", int), ("passes", int), ("search_exit", str),
                       ("binned", bool)):
        if name in kwargs and (not isinstance(kwargs[name], kind) or (kind is int and isinstance(kwargs[name], bool))):
            raise ModelFileError(f"fitted.{name} has the wrong type")
    n_features = kwargs["n_features"]
    if isinstance(n_features, bool) or not isinstance(n_features, int) or n_features < 1 \
            or any(inp.source >= n_features for inp in design.inputs):
        raise ModelFileError("fitted.n_features does not cover the model's input columns")
    names = kwargs.get("feature_names")
    if names is not None and (not isinstance(names, list) or len(names) != n_features
                              or not all(isinstance(v, str) for v in names)):
        raise ModelFileError("fitted.feature_names must be one name per feature")
    sums = kwargs.get("response_sums", {})
    if not isinstance(sums, dict) or not all(
            isinstance(k, str) and isinstance(v, (int, float)) and not isinstance(v, bool)
            for k, v in sums.items()) or len(sums) > 64:
        raise ModelFileError("fitted.response_sums must map names to numbers")
    kwargs["response_sums"] = {k: float(v) for k, v in sums.items()}
    _check_estimated(kwargs)
    for name in optional_shapes:
        if name in kwargs and kwargs[name] is not None and not isinstance(kwargs[name], np.ndarray):
            raise ModelFileError(f"fitted.{name} must be an array")
    basis = kwargs.get("constraint_basis")
    if basis is not None and (basis.ndim != 2 or basis.shape[0] != q or basis.shape[1] > q):
        raise ModelFileError(f"array 'constraint_basis' must have {q} rows and at most {q} columns")
    undetermined = kwargs.get("undetermined", [])
    if not isinstance(undetermined, list):
        raise ModelFileError("fitted.undetermined must be a list")
    kwargs["undetermined"] = [_Json.index(v, q, "fitted.undetermined") for v in undetermined]
    removed = kwargs.get("removed_terms", [])
    if not isinstance(removed, list):
        raise ModelFileError("fitted.removed_terms must be a list")
    kwargs["removed_terms"] = [_Json.index(v, len(design.terms), "fitted.removed_terms") for v in removed]
    fitted = Fitted(layout=layout, **kwargs)
    _check_consistent(fitted, layout)
    return fitted


# Relative disagreement allowed between the raw coefficients and those the centred ones
# expand to (the writer stores one as the expansion of the other; reading rebuilds the same
# expansion).
COEFFICIENT_AGREEMENT = 1e-9
# Rounding allowed in the effective degrees of freedom, whose sum lies in [0, coefficients].
EDF_ROUNDING = 1e-6


def _check_consistent(fitted: Fitted, layout: Any) -> None:
    """ModelFileError unless every number is finite and in its domain, and the arrays the
    model predicts with follow from those it reports (coef_, lambda_, scale_)."""
    for name in ("column_sums", "beta_raw", "beta", "edf", "xtwx", "rho", "ridge", "rho_hessian"):
        value = getattr(fitted, name)
        if value is not None and not np.isfinite(value).all():
            raise ModelFileError(f"array {name!r} holds values that are not finite")
    numbers = {"scale": fitted.scale, "deviance": fitted.deviance, "pearson": fitted.pearson,
               "rows": fitted.rows, "weight_sum": fitted.weight_sum, "score": fitted.score,
               **{f"response_sums.{k}": v for k, v in fitted.response_sums.items()}}
    for name, value in numbers.items():
        if not math.isfinite(value):
            raise ModelFileError(f"fitted.{name} is not finite ({value})")
    if fitted.scale < 0 or fitted.deviance < 0 or fitted.pearson < 0 or not (fitted.rows > 0 and fitted.weight_sum > 0):
        raise ModelFileError("fitted.scale, deviance and pearson must be non-negative, and rows and "
                             "weight_sum positive")
    if fitted.n_iter < 0 or fitted.passes < 0:
        raise ModelFileError("fitted.n_iter and fitted.passes must be non-negative")
    if not -EDF_ROUNDING <= float(np.sum(fitted.edf)) <= len(fitted.edf) * (1 + EDF_ROUNDING):
        raise ModelFileError("array 'edf' sums to more degrees of freedom than the model has coefficients")
    if fitted.ridge is not None and (fitted.ridge < 0).any():
        raise ModelFileError("array 'ridge' holds negative values")
    for i, lam in enumerate(fitted.design.lams):
        if lam is not None and not math.isclose(math.exp(fitted.rho[i]), lam, rel_tol=COEFFICIENT_AGREEMENT):
            raise ModelFileError(f"array 'rho' does not hold the fixed smoothing parameter {lam} of penalty {i}")
    expanded = layout.expand(fitted.beta)
    size = max(float(np.max(np.abs(fitted.beta_raw), initial=0.0)), float(np.max(np.abs(expanded), initial=0.0)))
    if np.max(np.abs(expanded - fitted.beta_raw), initial=0.0) > COEFFICIENT_AGREEMENT * size:
        raise ModelFileError("arrays 'beta_raw' and 'beta' describe different models (the raw "
                             "coefficients are not the expansion of the reported ones)")


def _number(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _check_estimated(kwargs: dict) -> None:
    """The optional fields of estimated family parameters (absent in files of earlier
    versions): name -> [lower, upper] of a 95 % interval, and a log-likelihood."""
    intervals = kwargs.get("parameter_intervals")
    if intervals is not None:
        if not isinstance(intervals, dict) or len(intervals) > 16 or not all(
                isinstance(k, str) and isinstance(v, list) and len(v) == 2 and all(map(_number, v))
                for k, v in intervals.items()):
            raise ModelFileError("fitted.parameter_intervals must map names to [lower, upper]")
        kwargs["parameter_intervals"] = {k: (float(v[0]), float(v[1])) for k, v in intervals.items()}
    value = kwargs.get("log_likelihood")
    if value is not None and not _number(value):
        raise ModelFileError("fitted.log_likelihood must be a number")


def _check_family(kwargs: dict) -> None:
    family, method = kwargs["family"], kwargs["method"]
    link, parameters = kwargs.get("link"), kwargs.get("family_parameters")
    if not isinstance(family, str) or not isinstance(method, str) or not isinstance(link, (str, type(None))):
        raise ModelFileError("fitted.family, fitted.method and fitted.link must be names")
    if parameters is not None and not (isinstance(parameters, dict) and all(
            isinstance(v, (int, float, type(None))) and not isinstance(v, bool) for v in parameters.values())):
        raise ModelFileError("fitted.family_parameters must map names to numbers")
    try:
        family_from_fit(family, link, parameters)
    except (ValueError, TypeError) as e:
        raise ModelFileError(f"fitted.family: {e}") from None


class ModelFile(NamedTuple):
    """What a model file holds, read and checked; `params` are plain JSON values."""

    estimator: str
    params: dict
    fitted: Fitted
    rug: list
    attributes: dict


def _open(path: Any) -> tuple[zipfile.ZipFile, int, str]:
    if hasattr(path, "read"):
        path.seek(0, os.SEEK_END)
        size = path.tell()
        path.seek(0)
        return zipfile.ZipFile(path), size, getattr(path, "name", "the file")
    path = os.fspath(path)
    return zipfile.ZipFile(path), os.path.getsize(path), str(path)


def read(path: "str | os.PathLike[str] | IO[bytes]") -> ModelFile:
    """Read and check a model file (a file name, path object or binary file)."""
    name = getattr(path, "name", "the file") if hasattr(path, "read") else str(path)
    try:
        zf, size, name = _open(path)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError) as e:
        raise ModelFileError(f"{name}: not a velkan model file ({e})") from None
    try:
        with zf:
            return _read(zf, size)
    except ModelFileError as e:
        raise ModelFileError(f"{name}: {e}") from None
    except (zipfile.BadZipFile, EOFError, ValueError, TypeError, KeyError, IndexError,
            OverflowError, RecursionError, UnicodeDecodeError, NotImplementedError) as e:
        # The file's content is inconsistent in a way the checks above do not name (a damaged
        # member header can claim encryption or a compression zipfile does not implement).
        raise ModelFileError(f"{name}: not a readable velkan model file ({type(e).__name__}: {e})") from None


def _read(zf: zipfile.ZipFile, size: int) -> ModelFile:
    infos = zf.infolist()
    if sum(i.compress_size for i in infos) > size:
        raise ModelFileError("its members claim more bytes than the file holds (truncated?)")
    for info in infos:
        if info.compress_type != zipfile.ZIP_STORED or info.file_size != info.compress_size:
            raise ModelFileError(f"member {info.filename!r} is compressed; model files store members as they are")
        if info.flag_bits & 0x1:  # zipfile would ask for a password (a RuntimeError)
            raise ModelFileError(f"member {info.filename!r} claims to be encrypted; model files store members "
                                 "as they are")
    try:
        info = zf.getinfo(METADATA)
    except KeyError:
        raise ModelFileError(f"not a velkan model file (no {METADATA})") from None
    if info.file_size > MAX_METADATA_BYTES:
        raise ModelFileError(f"its metadata is {info.file_size} bytes; at most {MAX_METADATA_BYTES}")
    meta = json.loads(zf.read(METADATA).decode("utf-8"))
    if _Json.get(meta, "format", str, "file", optional=True) != FORMAT:
        raise ModelFileError("not a velkan model file")
    version = _Json.get(meta, "version", int, "file")
    if version > FORMAT_VERSION:
        raise ModelFileError(f"written in model file format version {version} ("
                             f"{meta.get('written_by', 'a newer velkan')!s}); this velkan reads versions "
                             f"up to {FORMAT_VERSION}: upgrade velkan to read it")
    if version < 1:
        raise ModelFileError(f"unknown format version {version}")
    estimator = _Json.get(meta, "estimator", str, "file")
    params = dict(_Json.get(meta, "params", dict, "file"))
    budget = _LabelBudget(size)
    design, memory = _design(meta, budget)
    if memory > LAYOUT_MEMORY_PER_FILE_BYTE * size + LAYOUT_MEMORY_ALLOWANCE:
        raise ModelFileError(f"its terms would take {memory / 2**20:.0f} MiB, far more than a "
                             f"file of {size} bytes can describe")
    fitted = _fitted(meta, design, _layout(design, zf), zf)
    return ModelFile(estimator, params, fitted, _rug(meta, design, zf),
                     {key: _levels(value, f"attributes.{key}", budget)
                      for key, value in _Json.get(meta, "attributes", dict, "file").items()})


def _layout(design: Design, zf: zipfile.ZipFile) -> Any:
    """The engine layout of the design, centred on the saved column sums."""
    try:
        layout = _engine.Layout(design.spec)
    except ValueError as e:
        raise ModelFileError(f"design: {e}") from None
    if layout.input_columns != len(design.inputs) or len(layout.penalty_terms) != len(design.lams):
        raise ModelFileError("the design's input columns or penalties do not match its terms")
    column_sums = _read_array(zf, "column_sums", None)
    if column_sums.shape != (layout.width,):
        raise ModelFileError(f"array 'column_sums' has shape {column_sums.shape}; the model needs ({layout.width},)")
    return layout.centred(column_sums)


def _rug(meta: dict, design: Design, zf: zipfile.ZipFile) -> list:
    rug: list[np.ndarray | None] = []
    for i, entry in enumerate(_Json.get(meta, "rug", list, "file")):
        if entry is None:
            rug.append(None)
        elif entry == f"rug_{i}" and i < len(design.inputs):
            values = _read_array(zf, entry, None)
            if values.ndim != 1 or not np.isfinite(values).all():
                raise ModelFileError(f"array {entry!r} must be a vector of finite values")
            rug.append(values)
        else:
            raise ModelFileError(f"rug[{i}] must be null or 'rug_{i}'")
    return rug
