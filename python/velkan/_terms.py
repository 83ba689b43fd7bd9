"""Model terms: smooths, tensor products, linear and factor terms.

Terms combine with ``+`` into a :class:`TermList`::

    from velkan import s, te, l, f
    terms = s(0, k=20) + te(1, 2) + l(3) + f(4)

A column is named by its index in ``X`` (or, for DataFrame input, by its name). The
``repr`` of terms is also formula text: ``str(terms)`` parses back to the same terms.
"""

from __future__ import annotations

from dataclasses import dataclass
from numbers import Integral, Real
from typing import Any, Iterable, Iterator, NamedTuple, Sequence, Union

from . import _engine

Column = Union[int, str]


class BasisInfo(NamedTuple):
    """What the engine's table says of a marginal basis kind."""

    min_k: int
    needs_distinct: bool     # knots at quantiles of the column's distinct values
    periodic: bool           # takes a period


BASIS_INFO = {name: BasisInfo(min_k, distinct, periodic)
              for name, min_k, distinct, periodic in _engine.bases()}
BASES = tuple(BASIS_INFO)
DEFAULT_BASIS = BASES[0]
MAX_TERM_WIDTH = _engine.MAX_TERM_WIDTH


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
    s('age', k=10, bs='ps') + f('region')
    """

    def __new__(cls, terms: Iterable[Term] = ()) -> "TermList":
        terms = tuple(terms)
        for t in terms:
            if not isinstance(t, Term):
                raise TypeError(f"a model is built from terms (s, te, l, f), not {type(t).__name__}")
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


def _check_k(k: object, bs: str, what: str) -> int:
    if isinstance(k, bool) or not isinstance(k, Integral):
        raise TypeError(f"{what}: k must be an integer, got {k!r}")
    if k < BASIS_INFO[bs].min_k:
        raise ValueError(f"{what}: k must be at least {BASIS_INFO[bs].min_k} for bs={bs!r}, got {k}")
    if k > MAX_TERM_WIDTH:
        raise ValueError(f"{what}: k must be at most {MAX_TERM_WIDTH}, got {k}")
    return int(k)


def _check_bs(bs: object, what: str) -> str:
    if bs not in BASES:
        raise ValueError(f"{what}: unknown basis {bs!r}; use one of {', '.join(map(repr, BASES))}")
    return str(bs)


@dataclass(frozen=True, eq=True)
class SmoothTerm(Term):
    """A smooth of one column (``s``) or a tensor-product smooth of several (``te``)."""

    cols: tuple[Column, ...]
    k: tuple[int, ...]
    bs: tuple[str, ...]
    lam: tuple[float | None, ...]
    period: tuple[tuple[float, float] | float | None, ...]
    tensor: bool = False

    @property
    def columns(self) -> tuple[Column, ...]:
        return self.cols

    def __repr__(self) -> str:
        cols = ", ".join(repr(c) for c in self.cols)
        if not self.tensor:
            extra = f", k={self.k[0]}, bs={self.bs[0]!r}"
            if self.lam[0] is not None:
                extra += f", lam={self.lam[0]!r}"
            if self.period[0] is not None:
                extra += f", period={self.period[0]!r}"
            return f"s({cols}{extra})"
        extra = f", k={self.k!r}, bs={self.bs!r}"
        if any(v is not None for v in self.lam):
            extra += f", lam={self.lam!r}"
        return f"te({cols}{extra})"


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


def s(col: Column, k: int = 10, bs: str = DEFAULT_BASIS, lam: float | None = None,
      period: tuple[float, float] | float | None = None) -> SmoothTerm:
    """A penalized smooth of one column.

    ``bs`` is the basis: ``"ps"`` (cubic B-splines on evenly spaced knots over the
    training range, second-order difference penalty; the default), ``"cr"`` (natural cubic
    regression spline, knots at quantiles of the distinct values) or ``"cc"`` (cyclic cubic
    regression spline; ``period`` is its length, or a ``(start, end)`` pair, and defaults to
    the training range). ``lam`` fixes the smoothing parameter instead of estimating it.

    >>> from velkan import s
    >>> s(0, k=20)
    s(0, k=20, bs='ps')
    """
    what = f"s({col!r})"
    col = _check_column(col, what)
    bs = _check_bs(bs, what)
    k = _check_k(k, bs, what)
    if period is not None and not BASIS_INFO[bs].periodic:
        periodic = [b for b, info in BASIS_INFO.items() if info.periodic]
        raise ValueError(f"{what}: period applies to the cyclic basis bs={periodic[0]!r} only")
    return SmoothTerm((col,), (k,), (bs,), (_check_lam(lam, what),), (period,))


def te(*cols: Column, k: int | Sequence[int] = 5, bs: str | Sequence[str] = DEFAULT_BASIS,
       lam: float | None | Sequence[float | None] = None) -> SmoothTerm:
    """A tensor-product smooth of two or more columns.

    Each column gets a marginal basis (``k`` and ``bs`` per margin, or one value for all) and
    its own smoothing parameter: the penalty is ``S_1 (x) I + I (x) S_2`` (and so on), so
    the surface can be smoother in one direction than in another.

    >>> from velkan import te
    >>> te(0, 1, k=(5, 6))
    te(0, 1, k=(5, 6), bs=('ps', 'ps'))
    """
    what = f"te({', '.join(repr(c) for c in cols)})"
    if len(cols) < 2:
        raise ValueError(f"{what}: a tensor product needs at least two columns")
    cols = tuple(_check_column(c, what) for c in cols)
    d = len(cols)

    def per_margin(value: object, name: str) -> tuple:
        if isinstance(value, (list, tuple)):
            if len(value) != d:
                raise ValueError(f"{what}: {name} needs one value per column ({d}), got {len(value)}")
            return tuple(value)
        return (value,) * d

    bs_t = tuple(_check_bs(b, what) for b in per_margin(bs, "bs"))
    k_t = tuple(_check_k(kk, b, what) for kk, b in zip(per_margin(k, "k"), bs_t))
    lam_t = tuple(_check_lam(v, what) for v in per_margin(lam, "lam"))
    width = 1
    for kk in k_t:
        width *= kk
    if width > MAX_TERM_WIDTH:
        raise ValueError(f"{what}: the tensor product has {width} basis functions; at most {MAX_TERM_WIDTH}")
    return SmoothTerm(cols, k_t, bs_t, lam_t, (None,) * d, tensor=True)


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


def default_terms(columns: Any, k: int = 10, bs: str = DEFAULT_BASIS, lam: float | None = None) -> TermList:
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
