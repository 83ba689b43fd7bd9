"""velkan: generalized additive models with automatic smoothing, on a compiled core.

A model is a sum of terms: smooths ``s``, tensor-product smooths ``te``, random effects
``re``, linear terms ``l`` and factors ``f``, written as a formula or built from the term functions::

    >>> import numpy as np
    >>> from velkan import GAM, s, te, l, f
    >>> rng = np.random.default_rng(0)
    >>> data = {"x": rng.uniform(size=300), "g": rng.choice(["a", "b"], size=300)}
    >>> data["y"] = np.sin(5 * data["x"]) + (data["g"] == "b") + rng.normal(scale=0.2, size=300)
    >>> gam = GAM("y ~ s(x) + f(g)").fit(data)
    >>> gam.predict({"x": [0.3], "g": ["b"]}).round(1)
    array([2.])

Families are classes (``Gaussian``, ``Binomial``, ``Poisson``, ...: see ``families()``),
and ``GAM(family=...)`` takes one or a family's name. ``GAMRegressor`` and
``GAMClassifier`` are the scikit-learn estimators (they import scikit-learn when first
used); ``load`` reads a model written by ``save``; ``compare`` tests nested models against
each other and ``interval`` turns posterior draws (``GAM.sample``) into intervals.
"""

from typing import TYPE_CHECKING, Any

from ._families import CLASSES as _FAMILY_CLASSES
from ._families import Family, families
from ._fit import ConvergenceWarning, ExtrapolationWarning
from ._formula import FormulaError
from ._gam import GAM, compare
from ._io import ModelFileError
from ._load import load
from ._posterior import interval
from ._terms import Term, TermList, f, l, re, s, te

# One class per family of the engine's table (Gaussian, Binomial, Poisson, ...).
globals().update({cls.__name__: cls for cls in _FAMILY_CLASSES.values()})

__all__ = ["GAM", "GAMRegressor", "GAMClassifier", "ConvergenceWarning", "ExtrapolationWarning", "FormulaError",
           "ModelFileError", "Term", "TermList", "s", "te", "l", "f", "re", "load", "Family", "families",
           "compare", "interval",
           *(cls.__name__ for cls in _FAMILY_CLASSES.values())]
__version__ = "0.2.0"

if TYPE_CHECKING:
    from ._sklearn import GAMClassifier, GAMRegressor


def __getattr__(name: str) -> Any:
    # The scikit-learn estimators are imported on first use, so that velkan itself does
    # not need scikit-learn.
    if name in ("GAMRegressor", "GAMClassifier"):
        from . import _sklearn

        return getattr(_sklearn, name)
    raise AttributeError(f"module 'velkan' has no attribute {name!r}")
