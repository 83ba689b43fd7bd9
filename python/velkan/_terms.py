"""Model terms: smooths, tensor products, random effects, linear and factor terms.

Terms combine with ``+`` into a :class:`TermList`::

    from velkan import s, te, l, f, re
    terms = s(0, k=20) + te(1, 2) + l(3) + f(4) + re(5)

A column is named by its index in ``X`` (or, for DataFrame input, by its name). The
``repr`` of terms is also formula text: ``str(terms)`` parses back to the same terms.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from numbers import Integral, Real
from typing import Any, Iterable, Iterator, NamedTuple, Sequence, Union

from . import _engine

Column = Union[int, str]


class BasisInfo(NamedTuple):
    """What the engine's table says of a smooth basis kind."""

    min_k: int
    needs_distinct: bool     # knots at quantiles of the column's distinct values
    periodic: bool           # takes a period
    max_columns: int         # columns one smooth of this basis takes (1: a marginal basis)
    tensor_margin: bool      # usable as a margin of te()
    shapes: bool             # takes a shape constraint


BASIS_INFO = {row[0]: BasisInfo(*row[1:]) for row in _engine.bases()}
BASES = tuple(BASIS_INFO)
MARGIN_BASES = tuple(name for name, info in BASIS_INFO.items() if info.tensor_margin)
MAX_TERM_WIDTH = _engine.MAX_TERM_WIDTH
# The defaults are chosen by measurement (benchmarks/bench_defaults.py: cross-validated
# error on real and simulated data). A one-column smooth takes the non-periodic basis with
# knots at quantiles of the distinct values (evenly spaced knots leave the sparse tail of a
# skewed covariate to few data) and k = 25, the smallest size within 2 % of the best on every
# case, long seasonal series included: the penalty keeps a large k from overfitting. A
# default k larger than the column's distinct values allow shrinks to them. Tensor-product
# margins keep the first basis of the table; two margins take 10 functions each, more take 5
# (the width is their product). An isotropic smooth of two columns takes 100 functions (the
# real surfaces measured need them), of three 40. A smooth with by= replicates its basis per level: it keeps
# 10 functions, as the memory of many levels is quadratic in them.
DEFAULT_BASIS = next(name for name, info in BASIS_INFO.items()
                     if info.needs_distinct and not info.periodic and info.max_columns == 1)
DEFAULT_MARGIN_BASIS = BASES[0]
DEFAULT_SHAPE_BASIS = next(name for name, info in BASIS_INFO.items() if info.shapes)
DEFAULT_K = 25
DEFAULT_BY_K = 10
DEFAULT_TENSOR_K = {2: 10}
DEFAULT_WIDE_TENSOR_K = 5
DEFAULT_MULTI_K = {2: 100, 3: 40}
CONSTRAINTS = ("increasing", "decreasing", "convex", "concave")


class Term:
    """Base class of model terms; terms combine with ``+``."""

    def __add__(self, other: "Term | TermList") -> "TermList":
        return TermList((self,)) + other

    def __radd__(self, other: object) -> "TermList":
        if other == 0:  # sum([...]) starts from 0
            return TermList((self,))
        return NotImplemented

    @property
    def columns(self) -> tuple[Column, ...]:
        raise NotImplementedError


class TermList(tuple):
    """An ordered collection of terms, built with ``+``; its ``repr`` is formula text.

    >>> from velkan import s, f
    >>> s("age") + f("region")
    s('age', k=25, bs='cr') + f('region')
    """

    def __new__(cls, terms: Iterable[Term] = ()) -> "TermList":
        terms = tuple(terms)
        for t in terms:
            if not isinstance(t, Term):
                raise TypeError(f"a model is built from terms (s, te, l, f, re), not {type(t).__name__}")
        return super().__new__(cls, terms)

    def __add__(self, other: object) -> "TermList":  # type: ignore[override]
        if isinstance(other, Term):
            return TermList(tuple(self) + (other,))
        if isinstance(other, TermList):
            return TermList(tuple(self) + tuple(other))
        return NotImplemented

    def __radd__(self, other: object) -> "TermList":
        if other == 0:
            return self
        return NotImplemented

    def __iter__(self) -> Iterator[Term]:
        return super().__iter__()

    def __repr__(self) -> str:
        return " + ".join(repr(t) for t in self) if self else "TermList()"


def _check_column(col: object, what: str) -> Column:
    if isinstance(col, bool) or not isinstance(col, (Integral, str)):
        raise TypeError(f"{what}: a column is named by an integer index or a string, not {col!r}")
    if isinstance(col, Integral):
        if col < 0:
            raise ValueError(f"{what}: column index must be non-negative, got {col}")
        return int(col)
    return col


def _check_lam(lam: object, what: str) -> float | None:
    if lam is None:
        return None
    if isinstance(lam, bool) or not isinstance(lam, Real):
        raise TypeError(f"{what}: lam must be a positive number or None, got {lam!r}")
    lam = float(lam)
    if not (lam > 0.0 and lam < float("inf")):
        raise ValueError(f"{what}: lam must be a positive finite number, got {lam!r}")
    return lam


def _check_k(k: object, bs: str, what: str, columns: int = 1) -> int:
    if isinstance(k, bool) or not isinstance(k, Integral):
        raise TypeError(f"{what}: k must be an integer, got {k!r}")
    least = BASIS_INFO[bs].min_k + columns - 1
    if k < least:
        raise ValueError(f"{what}: k must be at least {least} for bs={bs!r}"
                         f"{'' if columns == 1 else f' of {columns} columns'}, got {k}")
    if k > MAX_TERM_WIDTH:
        raise ValueError(f"{what}: k must be at most {MAX_TERM_WIDTH}, got {k}")
    return int(k)


def _check_bs(bs: object, what: str) -> str:
    if bs not in BASES:
        raise ValueError(f"{what}: unknown basis {bs!r}; use one of {', '.join(map(repr, BASES))}")
    return str(bs)


@dataclass(frozen=True, eq=True)
class SmoothTerm(Term):
    """A smooth of one column or an isotropic smooth of several (``s``), or a
    tensor-product smooth of several (``te``)."""

    cols: tuple[Column, ...]
    k: tuple[int, ...]
    bs: tuple[str, ...]
    lam: tuple[float | None, ...]
    period: tuple[tuple[float, float] | float | None, ...]
    tensor: bool = False
    by: Column | None = None
    shrink: bool = False
    interaction_only: bool = False
    constraint: str | None = None
    # k or bs was the default: a column with fewer distinct values than the default needs
    # gets fewer functions, or the tensor margins' basis (see _design.place_knots).
    default_k: bool = field(default=False, compare=False)
    default_bs: bool = field(default=False, compare=False)

    @property
    def columns(self) -> tuple[Column, ...]:
        return self.cols if self.by is None else self.cols + (self.by,)

    def __repr__(self) -> str:
        cols = ", ".join(repr(c) for c in self.cols)
        if not self.tensor:
            extra = f", k={self.k[0]}, bs={self.bs[0]!r}"
            if self.lam[0] is not None:
                extra += f", lam={self.lam[0]!r}"
            if self.period[0] is not None:
                extra += f", period={self.period[0]!r}"
            if self.by is not None:
                extra += f", by={self.by!r}" + (", shrink=True" if self.shrink else "")
            if self.constraint is not None:
                extra += f", constraint={self.constraint!r}"
            return f"s({cols}{extra})"
        extra = f", k={self.k!r}, bs={self.bs!r}"
        if any(v is not None for v in self.lam):
            extra += f", lam={self.lam!r}"
        if self.interaction_only:
            extra += ", interaction_only=True"
        return f"te({cols}{extra})"


@dataclass(frozen=True, eq=True)
class RandomTerm(Term):
    """An i.i.d. normal effect per level of a grouping column (a random intercept), or of
    a numeric column's slope per level (a random slope)."""

    col: Column
    slope: Column | None = None
    lam: float | None = None

    @property
    def columns(self) -> tuple[Column, ...]:
        return (self.col,) if self.slope is None else (self.col, self.slope)

    def __repr__(self) -> str:
        extra = "" if self.slope is None else f", {self.slope!r}"
        if self.lam is not None:
            extra += f", lam={self.lam!r}"
        return f"re({self.col!r}{extra})"


@dataclass(frozen=True, eq=True)
class LinearTerm(Term):
    """One unpenalized coefficient for a numeric column."""

    col: Column

    @property
    def columns(self) -> tuple[Column, ...]:
        return (self.col,)

    def __repr__(self) -> str:
        return f"l({self.col!r})"


@dataclass(frozen=True, eq=True)
class FactorTerm(Term):
    """A categorical column: one unpenalized coefficient per level but the first."""

    col: Column

    @property
    def columns(self) -> tuple[Column, ...]:
        return (self.col,)

    def __repr__(self) -> str:
        return f"f({self.col!r})"


def _check_flag(value: object, name: str, what: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{what}: {name} must be True or False, got {value!r}")
    return value


def _multi_basis(n: int) -> str | None:
    """The first basis of the engine's table that takes `n` columns in one smooth."""
    return next((b for b, info in BASIS_INFO.items() if info.max_columns >= n), None)


def _default_basis(columns: int, by: object, constraint: object) -> str | None:
    if columns > 1:
        return _multi_basis(columns)
    if constraint is not None:
        return DEFAULT_SHAPE_BASIS
    return DEFAULT_BASIS if by is None else DEFAULT_MARGIN_BASIS


def s(*cols: Column, k: int | None = None, bs: str | None = None, lam: float | None = None,
      period: tuple[float, float] | float | None = None, by: Column | None = None,
      shrink: bool = False, constraint: str | None = None) -> SmoothTerm:
    """A penalized smooth of one column, or an isotropic smooth of two or three.

    ``bs`` is the basis: ``"ps"`` (cubic B-splines on evenly spaced knots over the
    training range, second-order difference penalty), ``"cr"`` (natural cubic regression
    spline, knots at quantiles of the distinct values), ``"cc"`` (cyclic cubic regression
    spline; ``period`` is its length, or a ``(start, end)`` pair, and defaults to the
    training range) or ``"tp"`` (thin-plate regression spline of one to three columns,
    isotropic, from a reproducible sample of the distinct points). By default one column
    takes ``"cr"`` with ``k=25`` (fewer if the column has fewer distinct values), a smooth
    with ``by=`` ``"ps"`` with ``k=10``, a shape-constrained one ``"ps"`` with ``k=25``, and
    two or three columns ``"tp"`` with ``k=100`` or ``40``. ``lam`` fixes the smoothing
    parameter.

    ``by``: a categorical column fits one centred smooth per level (add ``f(by)`` for the
    levels' own means), with ``shrink=True`` uncentred curves shrunk toward zero by
    penalties shared by every level (their null spaces penalized too); a numeric column
    fits the varying coefficient ``by * f(x)`` (not centred). ``constraint``:
    ``"increasing"``, ``"decreasing"``, ``"convex"`` or ``"concave"`` for a basis that
    takes one (the fitted function obeys it everywhere).

    >>> from velkan import s
    >>> s(0, k=20, bs="ps")
    s(0, k=20, bs='ps')
    """
    what = f"s({', '.join(repr(c) for c in cols)})"
    if not cols:
        raise ValueError("s() needs a column")
    cols = tuple(_check_column(c, what) for c in cols)
    default_bs = bs is None
    if bs is None:
        bs = _default_basis(len(cols), by, constraint)
    bs = _check_bs(bs, what)
    info = BASIS_INFO[bs]
    if len(cols) > info.max_columns:
        multi = _multi_basis(len(cols))
        hint = f"bs={multi!r}, or " if multi else ""
        raise ValueError(f"{what}: bs={bs!r} takes {info.max_columns} column(s); use {hint}te() for a "
                         "tensor product")
    default_k = k is None
    if k is None:
        k = (DEFAULT_K if by is None else DEFAULT_BY_K) if len(cols) == 1 else DEFAULT_MULTI_K[len(cols)]
    k = _check_k(k, bs, what, len(cols))
    if period is not None and not info.periodic:
        periodic = [b for b, i in BASIS_INFO.items() if i.periodic]
        raise ValueError(f"{what}: period applies to the cyclic basis bs={periodic[0]!r} only")
    if by is not None:
        by = _check_column(by, what)
        if not info.tensor_margin:
            raise ValueError(f"{what}: by= needs a basis of {', '.join(map(repr, MARGIN_BASES))}")
    if _check_flag(shrink, "shrink", what) and by is None:
        raise ValueError(f"{what}: shrink=True applies to a smooth with a categorical by= column")
    if constraint is not None:
        if constraint not in CONSTRAINTS:
            raise ValueError(f"{what}: constraint must be one of {', '.join(map(repr, CONSTRAINTS))}, "
                             f"got {constraint!r}")
        if not info.shapes or by is not None:
            takes = [b for b, i in BASIS_INFO.items() if i.shapes]
            raise ValueError(f"{what}: a shape constraint needs bs={takes[0]!r} and no by=")
    return SmoothTerm(cols, (k,), (bs,), (_check_lam(lam, what),), (period,), by=by, shrink=shrink,
                      constraint=constraint, default_k=default_k, default_bs=default_bs)


def te(*cols: Column, k: int | Sequence[int] | None = None, bs: str | Sequence[str] = DEFAULT_MARGIN_BASIS,
       lam: float | None | Sequence[float | None] = None, interaction_only: bool = False) -> SmoothTerm:
    """A tensor-product smooth of two or more columns.

    Each column gets a marginal basis (``k`` and ``bs`` per margin, or one value for all) and
    its own smoothing parameter: the penalty is ``S_1 (x) I + I (x) S_2`` (and so on), so
    the surface can be smoother in one direction than in another. With
    ``interaction_only=True`` every margin is centred before the product is formed, so the
    term holds only the interaction: ``s(x) + s(z) + te(x, z, interaction_only=True)``
    separates the main effects from it. ``k`` defaults to 10 per margin for two columns and
    5 for more, on the first basis of the table (``"ps"``).

    >>> from velkan import te
    >>> te(0, 1, k=(5, 6))
    te(0, 1, k=(5, 6), bs=('ps', 'ps'))
    """
    what = f"te({', '.join(repr(c) for c in cols)})"
    if len(cols) < 2:
        raise ValueError(f"{what}: a tensor product needs at least two columns")
    cols = tuple(_check_column(c, what) for c in cols)
    d = len(cols)
    if k is None:
        k = DEFAULT_TENSOR_K.get(d, DEFAULT_WIDE_TENSOR_K)

    def per_margin(value: object, name: str) -> tuple:
        if isinstance(value, (list, tuple)):
            if len(value) != d:
                raise ValueError(f"{what}: {name} needs one value per column ({d}), got {len(value)}")
            return tuple(value)
        return (value,) * d

    bs_t = tuple(_check_bs(b, what) for b in per_margin(bs, "bs"))
    for b in bs_t:
        if not BASIS_INFO[b].tensor_margin:
            raise ValueError(f"{what}: bs={b!r} cannot be a margin; use one of {', '.join(map(repr, MARGIN_BASES))}")
    k_t = tuple(_check_k(kk, b, what) for kk, b in zip(per_margin(k, "k"), bs_t))
    lam_t = tuple(_check_lam(v, what) for v in per_margin(lam, "lam"))
    width = 1
    for kk in k_t:
        width *= kk
    if width > MAX_TERM_WIDTH:
        raise ValueError(f"{what}: the tensor product has {width} basis functions; at most {MAX_TERM_WIDTH}")
    return SmoothTerm(cols, k_t, bs_t, lam_t, (None,) * d, tensor=True,
                      interaction_only=_check_flag(interaction_only, "interaction_only", what))


def re(col: Column, slope: Column | None = None, lam: float | None = None) -> RandomTerm:
    """A random effect: an i.i.d. normal effect per level of the grouping column ``col``
    (a random intercept), or with ``slope`` a numeric column's coefficient per level (a
    random slope). Its penalty is the identity, so the criterion estimates the variance
    component (``summary().variance_components``). A level not seen at fit time predicts
    with its effect at zero (the population value), with a warning.

    >>> from velkan import re
    >>> re("subject")
    re('subject')
    """
    what = f"re({col!r})"
    col = _check_column(col, what)
    if slope is not None:
        slope = _check_column(slope, what)
    return RandomTerm(col, slope, _check_lam(lam, what))


def l(col: Column) -> LinearTerm:  # noqa: E743 - the name is the formula's
    """An unpenalized linear term.

    >>> from velkan import l
    >>> l(2)
    l(2)
    """
    return LinearTerm(_check_column(col, f"l({col!r})"))


def f(col: Column) -> FactorTerm:
    """A categorical term: levels from the training data, the first one the reference.

    >>> from velkan import f
    >>> f(3)
    f(3)
    """
    return FactorTerm(_check_column(col, f"f({col!r})"))


def as_terms(terms: object) -> TermList:
    """A TermList from a term, a TermList or an iterable of terms."""
    if isinstance(terms, Term):
        return TermList((terms,))
    if isinstance(terms, TermList):
        return terms
    if isinstance(terms, (list, tuple)):
        return TermList(terms)
    raise TypeError(f"terms must be a term, a sum of terms or a list of terms, not {type(terms).__name__}")


# What a model's terms may be given as: formula text, one term, a sum or a list of terms,
# or None (a term for every column).
TermsLike = Union[str, Term, TermList, Sequence[Term], None]


def default_terms(columns: Any, k: int | None = None, bs: str | None = None, lam: float | None = None) -> TermList:
    """The model when no terms are given: ``f`` for every categorical, string or boolean
    column, ``s`` for every other one."""
    categorical = getattr(columns, "categorical", lambda position: False)
    terms: list[Term] = []
    for j in range(columns.n_features):
        key = columns.label(j)
        if categorical(j) or columns.column(j).dtype.kind == "b":
            terms.append(f(key))
        else:
            terms.append(s(key, k=k, bs=bs, lam=lam))
    return TermList(terms)
