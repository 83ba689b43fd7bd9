"""Model formulas: ``"y ~ s(age, k=20) + te(lat, lon) + l(income) + f(region) + re(id)"``.

A formula is an optional response name, ``~``, and terms joined by ``+``. Each term is a
call of ``s``, ``te``, ``l``, ``f`` or ``re`` with the arguments those functions take; a bare
column name stands for ``l(name)``. Columns are written as names (``age``, or quoted:
``'sepal length'`` or ```sepal length```) or as integer positions (``s(0)``). Keyword values
are numbers, quoted strings, bare words (``bs=cr``), ``None`` and tuples (``k=(5, 6)``).

Nothing in a formula is evaluated as Python: it is tokenized and parsed here, and the
terms are made by the same functions users call. ``str()`` of a term list is itself a
formula, so a model's terms can be written to a file as text and read back.

Errors are :class:`FormulaError` (a ``ValueError``) pointing at the offending token::

    >>> from velkan._formula import parse_formula
    >>> parse_formula("y ~ s(age) + g(x)")
    Traceback (most recent call last):
    ...
    velkan._formula.FormulaError: unknown term 'g'; terms are s, te, l, f and re (at character 14)
      y ~ s(age) + g(x)
                   ^
"""

from __future__ import annotations

import re as regex
from dataclasses import dataclass
from typing import Any, Callable, NamedTuple

from ._terms import Term, TermList, f, l, re, s, te

# Longest formula accepted: a formula is typed or generated for a handful of terms; the
# limit keeps a hostile string from costing more than a moment to refuse.
MAX_FORMULA_LENGTH = 100_000

_TERM_FUNCTIONS: dict[str, Callable[..., Term]] = {"s": s, "te": te, "l": l, "f": f, "re": re}
_KEYWORDS = {"s": ("k", "bs", "lam", "period", "by", "shrink", "constraint"),
             "te": ("k", "bs", "lam", "interaction_only"), "l": (), "f": (), "re": ("lam",)}
_CONSTANTS = {"None": None, "True": True, "False": False}

_TOKEN = regex.compile(r"""
    (?P<space>\s+)
  | (?P<number>(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)
  | (?P<name>[^\W\d][\w.]*)
  | (?P<string>'[^'\\]*'|"[^"\\]*"|`[^`]*`)
  | (?P<op>[~+(),=\[\]-])
""", regex.VERBOSE)


class FormulaError(ValueError):
    """A formula that cannot be parsed; ``position`` is the offending character (0-based).

    >>> from velkan import GAM
    >>> GAM("y ~ s(x, bs=xx)").fit({"x": [0.0, 1.0], "y": [0.0, 1.0]})
    Traceback (most recent call last):
    ...
    velkan._formula.FormulaError: s('x'): unknown basis 'xx'; use one of 'ps', 'cr', 'cc', 'tp' (at character 13)
      y ~ s(x, bs=xx)
                  ^
    """

    def __init__(self, message: str, text: str, position: int) -> None:
        self.message = message
        self.text = text
        self.position = position
        super().__init__(f"{message} (at character {position + 1})\n  {text}\n  {' ' * position}^")


class Token(NamedTuple):
    kind: str      # "number", "name", "string", "op" or "end"
    text: str
    position: int


def tokenize(text: str) -> list[Token]:
    """The tokens of a formula, ending with an "end" token."""
    tokens = []
    pos = 0
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if m is None:
            raise FormulaError(f"unexpected character {text[pos]!r}", text, pos)
        if m.lastgroup != "space":
            tokens.append(Token(m.lastgroup or "", m.group(), pos))
        pos = m.end()
    tokens.append(Token("end", "", len(text)))
    return tokens


@dataclass(frozen=True)
class Formula:
    """A parsed formula: the response column's name (None when the formula has no ``~``)
    and the terms."""

    response: str | None
    terms: TermList


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens = tokenize(text)
        self.i = 0

    @property
    def tok(self) -> Token:
        return self.tokens[self.i]

    def fail(self, message: str, token: Token | None = None) -> FormulaError:
        token = token or self.tok
        return FormulaError(message, self.text, token.position)

    def describe(self, token: Token) -> str:
        return "the end of the formula" if token.kind == "end" else repr(token.text)

    def take(self, op: str) -> Token:
        token = self.tok
        if token.kind != "op" or token.text != op:
            raise self.fail(f"expected {op!r}, found {self.describe(token)}")
        self.i += 1
        return token

    def at(self, op: str) -> bool:
        return self.tok.kind == "op" and self.tok.text == op

    def formula(self) -> Formula:
        response = None
        if any(t.kind == "op" and t.text == "~" for t in self.tokens):
            token = self.tok
            if token.kind not in ("name", "string"):
                raise self.fail(f"the response must be a column name, found {self.describe(token)}")
            response = _unquote(token.text)
            self.i += 1
            self.take("~")
        terms = [self.term()]
        while self.at("+"):
            self.i += 1
            terms.append(self.term())
        if self.at("~"):
            raise self.fail("a formula has one '~'")
        if self.tok.kind != "end":
            raise self.fail(f"expected '+' or the end of the formula, found {self.describe(self.tok)}")
        return Formula(response, TermList(terms))

    def term(self) -> Term:
        token = self.tok
        if token.kind == "op" and token.text == "~":
            raise self.fail("a formula has one '~'")
        if token.kind == "number":
            raise self.fail(f"a bare number is not a term; write l({token.text}) for the column at "
                            f"position {token.text}")
        if token.kind not in ("name", "string"):
            raise self.fail(f"expected a term, found {self.describe(token)}")
        self.i += 1
        if not self.at("("):
            return self.call(l, "l", [(self.column(token), token)], [], token)
        if token.kind != "name" or token.text not in _TERM_FUNCTIONS:
            names = list(_TERM_FUNCTIONS)
            raise self.fail(f"unknown term {_unquote(token.text)!r}; terms are {', '.join(names[:-1])} and "
                            f"{names[-1]}", token)
        name = token.text
        self.take("(")
        args: list[tuple[Any, Token]] = []
        kwargs: list[tuple[str, Any, Token, Token]] = []
        while not self.at(")"):
            if args or kwargs:
                if not self.at(","):
                    raise self.fail(f"expected ',' or ')', found {self.describe(self.tok)}")
                self.i += 1
                if self.at(")"):
                    break
            start = self.tok
            if start.kind == "name" and self.tokens[self.i + 1].text == "=":
                if start.text not in _KEYWORDS[name]:
                    allowed = ", ".join(_KEYWORDS[name]) or "no keyword arguments"
                    raise self.fail(f"{name}() has no argument {start.text!r}; it takes {allowed}", start)
                if any(k == start.text for k, _, _, _ in kwargs):
                    raise self.fail(f"{name}() argument {start.text!r} is given twice", start)
                self.i += 2
                value_token = self.tok
                kwargs.append((start.text, self.value(), start, value_token))
            else:
                if kwargs:
                    raise self.fail("a column cannot follow keyword arguments", start)
                if start.kind not in ("name", "string", "number"):
                    raise self.fail(f"expected a column name or position, found {self.describe(start)}")
                self.i += 1
                args.append((self.column(start), start))
        self.take(")")
        return self.call(_TERM_FUNCTIONS[name], name, args, kwargs, token)

    def call(self, fn: Callable[..., Term], name: str, args: list, kwargs: list, head: Token) -> Term:
        """Makes the term; a refused argument is reported at its own token. The basis goes
        first, since the checks of k depend on it."""
        columns = [a for a, _ in args]
        try:
            term = fn(*columns)
        except (TypeError, ValueError) as e:
            raise self.fail(str(e), head) from None
        given: dict[str, Any] = {}
        for key, value, _, value_token in sorted(kwargs, key=lambda kw: kw[0] != "bs"):
            given[key] = value
            try:
                term = fn(*columns, **given)
            except (TypeError, ValueError) as e:
                raise self.fail(str(e), value_token) from None
        return term

    def column(self, token: Token) -> int | str:
        if token.kind == "number":
            if not token.text.isdigit():
                raise self.fail(f"a column position is a whole number, not {token.text}", token)
            return int(token.text)
        return _unquote(token.text)

    def value(self) -> Any:
        token = self.tok
        if token.kind == "op" and token.text in "([":
            close = ")" if token.text == "(" else "]"
            self.i += 1
            items: list[Any] = []
            while not self.at(close):
                if items:
                    self.take(",")
                    if self.at(close):
                        break
                items.append(self.value())
            self.take(close)
            return tuple(items)
        negative = False
        if token.kind == "op" and token.text == "-":
            negative = True
            self.i += 1
            token = self.tok
            if token.kind != "number":
                raise self.fail(f"expected a number after '-', found {self.describe(token)}")
        self.i += 1
        if token.kind == "number":
            number = _number(token.text)
            return -number if negative else number
        if token.kind == "string":
            return _unquote(token.text)
        if token.kind == "name":
            return _CONSTANTS.get(token.text, token.text)
        self.i -= 1
        raise self.fail(f"expected a value, found {self.describe(token)}")


def _unquote(text: str) -> str:
    return text[1:-1] if text[:1] in "'\"`" else text


def _number(text: str) -> int | float:
    return int(text) if text.isdigit() else float(text)


def parse_formula(text: str) -> Formula:
    """Parses ``"response ~ term + term + ..."`` (the response part is optional).

    >>> parse_formula("y ~ s(age, k=20) + f(region)")
    Formula(response='y', terms=s('age', k=20, bs='cr') + f('region'))
    """
    if not isinstance(text, str):
        raise TypeError(f"a formula is a string, not {type(text).__name__}")
    if len(text) > MAX_FORMULA_LENGTH:
        raise ValueError(f"the formula is {len(text)} characters long; at most {MAX_FORMULA_LENGTH}")
    if not text.strip():
        raise FormulaError("the formula is empty", text, 0)
    return _Parser(text).formula()
