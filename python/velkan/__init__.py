"""velkan: generalized additive models with automatic smoothing, on a compiled core.

>>> import numpy as np
>>> from velkan import GAM, s, te, l, f
"""

from ._fit import ConvergenceWarning
from ._gam import GAM
from ._terms import Term, TermList, f, l, s, te

__all__ = ["GAM", "ConvergenceWarning", "Term", "TermList", "s", "te", "l", "f"]
__version__ = "0.2.0"
