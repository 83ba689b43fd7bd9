"""`velkan.load`: the estimator a model file describes (the file format is `_io`'s)."""

from __future__ import annotations

import os
from typing import IO, Any

from ._families import CLASSES
from ._formula import parse_formula
from ._gam import GAM
from ._io import ModelFileError, param_names, read


def _estimator_class(name: str) -> type:
    if name == "GAM":
        return GAM
    if name in ("GAMRegressor", "GAMClassifier"):
        try:
            from . import _sklearn
        except ImportError:
            raise ModelFileError(f"the file holds a {name}, which needs scikit-learn; install it") from None
        return getattr(_sklearn, name)
    raise ModelFileError(f"unknown estimator {name!r}")


def _family(value: Any) -> Any:
    """A family parameter: a name, or {"family", "link", "parameters"} for a family object."""
    if not isinstance(value, dict):
        return value
    name, link, parameters = value.get("family"), value.get("link"), value.get("parameters", {})
    if set(value) - {"family", "link", "parameters"} or name not in CLASSES or not isinstance(parameters, dict):
        raise ModelFileError(f"params.family: not a family {value!r}")
    try:
        return CLASSES[name](link=link, **parameters)
    except (TypeError, ValueError) as e:
        raise ModelFileError(f"params.family: {e}") from None


def _estimator(name: str, raw: dict) -> Any:
    cls = _estimator_class(name)
    params = dict(raw)
    if set(params) - set(param_names(cls)):
        raise ModelFileError(f"unknown parameters {sorted(set(params) - set(param_names(cls)))}")
    terms = params.get("terms")
    if isinstance(terms, dict) and len(terms) == 1 and isinstance(next(iter(terms.values())), str):
        kind, text = next(iter(terms.items()))
        if kind == "formula":
            params["terms"] = text
        elif kind == "terms":
            params["terms"] = parse_formula(text).terms
        else:
            raise ModelFileError(f"params.terms: unknown kind {kind!r}")
    elif terms is not None:
        raise ModelFileError("params.terms must be null or {'formula': text} / {'terms': text}")
    if "family" in params:
        params["family"] = _family(params["family"])
    for key, value in params.items():
        if key not in ("terms", "family") and not (value is None or isinstance(value, (bool, int, float, str))):
            raise ModelFileError(f"params.{key} must be a plain value")
    estimator = cls(**params)
    estimator._check_params()
    return estimator


def load(path: "str | os.PathLike[str] | IO[bytes]") -> Any:
    """Read a model written by ``save``: a :class:`velkan.GAM` (or scikit-learn estimator)
    that predicts bit-identically to the one saved. `path` is a file name, path object or
    binary file. Files are data only: loading one cannot run code.

    >>> import io, numpy as np
    >>> from velkan import GAM, load
    >>> x = np.linspace(0, 1, 100)[:, None]
    >>> gam = GAM().fit(x, x[:, 0] ** 2)
    >>> buf = io.BytesIO()
    >>> gam.save(buf)
    >>> bool((load(buf).predict(x) == gam.predict(x)).all())
    True
    """
    model = read(path)
    name = getattr(path, "name", "the file") if hasattr(path, "read") else str(path)
    try:
        estimator = _estimator(model.estimator, model.params)
    except ModelFileError as e:
        raise ModelFileError(f"{name}: {e}") from None
    except (ValueError, TypeError) as e:
        raise ModelFileError(f"{name}: not a readable velkan model file ({type(e).__name__}: {e})") from None
    if set(model.attributes) != set(getattr(estimator, "_saved_attributes", ())):
        raise ModelFileError(f"{name}: attributes {sorted(model.attributes)} do not belong to a "
                             f"{type(estimator).__name__}")
    for key, value in model.attributes.items():
        setattr(estimator, key, value)
    estimator._rug = model.rug or None
    estimator._fitted = model.fitted
    estimator._set_attributes(model.fitted)
    return estimator
