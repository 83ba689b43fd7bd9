"""Formulas: what they parse to, that term lists print as formulas, and where errors point."""

import re

import pytest

from velkan import FormulaError, f, l, s, te
from velkan._formula import parse_formula

PARSED = [
    ("y ~ s(age, k=20) + te(lat, lon) + l(income) + f(region)", "y",
     s("age", k=20) + te("lat", "lon") + l("income") + f("region")),
    ("`log y` ~ s('sepal length', lam=1e-3) + income", "log y",
     s("sepal length", lam=1e-3) + l("income")),
    ("s(doy, bs='cc', period=(-1.5, 365)) + te(0, 1, k=[4, 6], bs=(ps, cr), lam=(None, 2))", None,
     s("doy", bs="cc", period=(-1.5, 365)) + te(0, 1, k=(4, 6), bs=("ps", "cr"), lam=(None, 2.0))),
    ("y~s(a,)+f(\"b\")", "y", s("a") + f("b")),
]


@pytest.mark.parametrize("text,response,terms", PARSED)
def test_parses_to_the_terms_and_prints_back(text, response, terms):
    parsed = parse_formula(text)
    assert parsed.response == response and parsed.terms == terms
    assert parse_formula(str(parsed.terms)).terms == terms


ERRORS = [  # formula, the character the caret points at, message fragment
    ("y ~ s(age) + g(x)", "g", "unknown term 'g'"),
    ("3 ~ s(x)", "3", "response must be a column name"),
    ("y ~ s(age, k=2)", "2", "k must be at least 3"),
    ("y ~ s(age, k=3, bs=cr) + s(b, bs=xx)", "xx", "unknown basis 'xx'"),
    ("y ~ s(age, kk=3)", "kk", "has no argument 'kk'"),
    ("y ~ s(age, k=4, k=5)", "k=5", "given twice"),
    ("y ~ s(age", "", "expected ',' or ')'"),
    ("y ~ s(x) ~ z", "~ z", "one '~'"),
    ("log(y) ~ s(x)", "(y)", "expected '~'"),
    ("y ~ te(a)", "te", "at least two columns"),
    ("y ~ 3", "3", "bare number"),
    ("y ~ s(1.5)", "1.5", "whole number"),
    ("y ~ s(a, lam=-1)", "-1", "lam must be a positive"),
    ("y ~ s(a) + $", "$", "unexpected character"),
    ("y ~ s(a, k=4) + ", "", "expected a term"),
    ("y ~ l(a, b)", "l", "takes 1 positional"),
    ("", "", "empty"),
]


@pytest.mark.parametrize("text,at,fragment", ERRORS)
def test_errors_point_at_the_offending_token(text, at, fragment):
    with pytest.raises(FormulaError, match=re.escape(fragment)) as info:
        parse_formula(text)
    err = info.value
    assert text[err.position:].startswith(at) if at else err.position >= len(text.rstrip())
    caret_line = str(err).splitlines()[-1]
    assert caret_line.index("^") - 2 == err.position

