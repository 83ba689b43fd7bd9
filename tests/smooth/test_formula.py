"""The formula grammar, and the automatic and formula setups of a model's smooth list
(which start here from a list holding one earlier term named "old")."""
import numpy as np
import pytest

import _velkan_testing as vt

TERM = "Invalid smooth term: '{}'. Expected format: s(col, k=value)"
COLUMN = "Invalid column index: '{}'"
SPEC = "Invalid k specification: '{}'. Expected format: k=value"
VALUE = "Invalid k value: '{}'"
HUGE = "Invalid parameter: Number of basis functions (1000000000) exceeds the supported maximum of 10000"


@pytest.mark.parametrize("formula, expected", [
    ("  s( 0 ,  k=10 )+s(1,k = 15)  ", [(0, 10), (1, 15)]), ("s(1, k=5=6)", [(1, 5)]),
    ("s(3, k=8) + s(3, k=8)", [(3, 8), (3, 8)]), ("s(007, k=0)", [(7, 0)]),
    ("s(18446744073709551615, k=18446744073709551615)", [(2**64 - 1, 2**64 - 1)]),
])
def test_accepted(formula, expected):
    assert vt.smooth_parse_formula(formula) == expected


@pytest.mark.parametrize("formula, message", [
    ("", TERM.format("")), ("s(0, k=10) + + s(1, k=5)", TERM.format("")),
    ("s(0, k=+5)", TERM.format("s(0, k=")), ("s(0, k=5, by=1)", TERM.format("s(0, k=5, by=1)")),
    ("s(0, k=5", TERM.format("s(0, k=5")), ("s(-1, k=5)", COLUMN.format("-1")),
    ("s(18446744073709551616, k=5)", COLUMN.format("18446744073709551616")),
    ("s(0, k=99999999999999999999)", VALUE.format("99999999999999999999")),
    ("s(0, k  =5)", SPEC.format("k  =5")), ("s(0, 5)", SPEC.format("5")), ("s(0, k=1e3)", VALUE.format("1e3")),
    ("s(0, k=5) + s(1, k=) + s(x, k=5)", VALUE.format("")),  # the first failing piece decides
])
def test_refused(formula, message):
    with pytest.raises(ValueError) as e:
        vt.smooth_parse_formula(formula)
    assert str(e.value) == message


@pytest.fixture
def data(rng):
    return np.column_stack([rng.uniform(0, 1, 200), rng.uniform(-10, 30, 200), rng.exponential(2.0, 200)])


def names(terms):
    return [(t["name"], t["column"]) for t in terms]


class TestAutoSetup:
    @pytest.mark.parametrize("basis", ["bs", "cr"])
    def test_one_term_per_column(self, data, basis):
        strided = np.asfortranarray(np.repeat(data, 2, axis=1))[:, ::2]
        message, terms = vt.smooth_auto_setup(strided, [5, 6, 7], basis)
        assert message is None and names(terms) == [("x0", 0), ("x1", 1), ("x2", 2)]
        assert [(t["kind"], t["num_basis"]) for t in terms] == [(basis, 5), (basis, 6), (basis, 7)]
        for j, t in enumerate(terms):
            col = data[:, j]
            if basis == "cr":
                np.testing.assert_array_equal(t["knots"][[0, -1]], [col.min(), col.max()])
            else:
                np.testing.assert_array_equal(t["knots"], vt.smooth_bs_term(t["num_basis"], col)["knots"])

    def test_cr_range_skips_nan(self, data):
        data[[3, 50], 1] = np.nan
        _, terms = vt.smooth_auto_setup(data, [5, 5, 5], "cr")
        col = np.delete(data[:, 1], [3, 50])
        np.testing.assert_array_equal(terms[1]["knots"][[0, -1]], [col.min(), col.max()])

    @pytest.mark.parametrize("x, k, basis, message, left", [
        # Checked before the list changes: it keeps the earlier term.
        (None, [5], "cr", "k length (1) must match number of columns (3)", ["old"]),
        # Checked after emptying it: a constructor error keeps the terms built before it.
        (None, [5, 5, 5], "CR", "Unknown basis type 'CR'. Use 'bs' or 'cr'.", []),
        (None, [6, 3, 6], "bs", "Invalid parameter: Need at least 2 knots for penalty matrix", ["x0"]),
        (None, [6, 10**9, 6], "cr", HUGE, ["x0"]),
        (np.zeros((0, 2)), [5, 5], "cr",
         "Invalid parameter: A cr smooth needs a finite data range, got minimum inf and maximum -inf", []),
        (np.zeros((4, 0)), [], "anything", None, []),
    ])
    def test_refusals(self, data, x, k, basis, message, left):
        got, terms = vt.smooth_auto_setup(data if x is None else x, k, basis)
        assert got == message and [t["name"] for t in terms] == left


class TestFormulaSetup:
    def test_terms_on_their_own_columns(self, data):
        message, terms = vt.smooth_formula_setup(data, "s(2, k=8) + s(0, k=6) + s(2, k=8)")
        assert message is None and names(terms) == [("x2", 2), ("x0", 0), ("x2", 2)]
        for t in terms:
            own = vt.smooth_bs_term(t["num_basis"], data[:, t["column"]])
            np.testing.assert_array_equal(t["knots"], own["knots"])
            np.testing.assert_array_equal(t["penalty"], own["penalty"])

    @pytest.mark.parametrize("formula, message, left", [
        ("s(0, k=5) + s(3, k=5)", "Formula term s(3, k=5) refers to column 3, but x has 3 columns", ["old"]),
        ("s(0, k=5) +", TERM.format(""), ["old"]),
        ("s(1, k=5) + s(0, k=3) + s(2, k=5)", "Invalid parameter: Need at least 2 knots for penalty matrix", ["x1"]),
        ("s(0, k=1000000000)", HUGE, []),
    ])
    def test_refusals(self, data, formula, message, left):
        got, terms = vt.smooth_formula_setup(data, formula)
        assert got == message and [t["name"] for t in terms] == left
