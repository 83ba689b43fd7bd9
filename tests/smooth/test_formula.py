"""The formula grammar, and the automatic and formula setups of a model's smooth list
(which start here from a list holding one earlier term named "old")."""
import numpy as np
import pytest

import _velkan_testing as vt

TERM = "Invalid smooth term: '{}'. Expected format: s(col, k=value)"
COLUMN = "Invalid column index: '{}'"
SPEC = "Invalid k specification: '{}'. Expected format: k=value"
VALUE = "Invalid k value: '{}'"


@pytest.mark.parametrize("formula, expected", [
    ("s(0, k=10) + s(1, k=15)", [(0, 10), (1, 15)]),
    ("  s( 0 ,  k=10 )+s(1,k=15)  ", [(0, 10), (1, 15)]),
    ("s(0, k = 10) + s(1, k =15)", [(0, 10), (1, 15)]), ("s(0,k= 10 )", [(0, 10)]),
    ("s(1, k=5=6)", [(1, 5)]), ("s(1, k=4) + s(1, k=4)", [(1, 4), (1, 4)]),
    ("s(3, k=8) + s(0, k=6)", [(3, 8), (0, 6)]), ("s(007, k=0)", [(7, 0)]),
    ("s(18446744073709551615, k=18446744073709551615)", [(2**64 - 1, 2**64 - 1)]),
])
def test_accepted(formula, expected):
    assert vt.smooth_parse_formula(formula) == expected


@pytest.mark.parametrize("formula, message", [
    ("", TERM.format("")), ("   ", TERM.format("")), ("s(0, k=10) +", TERM.format("")),
    ("+ s(0, k=10)", TERM.format("")), ("s(0, k=10) + + s(1, k=5)", TERM.format("")),
    ("s(0, k=+5)", TERM.format("s(0, k=")), ("s(0)", TERM.format("s(0)")),
    ("s(0, k=5, by=1)", TERM.format("s(0, k=5, by=1)")), ("t(0, k=5)", TERM.format("t(0, k=5)")),
    ("s(0, k=5", TERM.format("s(0, k=5")), ("s 0, k=5)", TERM.format("s 0, k=5)")),
    ("s()", TERM.format("s()")), ("s", TERM.format("s")), ("s(-1, k=5)", COLUMN.format("-1")),
    ("s(1.0, k=5)", COLUMN.format("1.0")), ("s(, k=5)", COLUMN.format("")),
    ("s(18446744073709551616, k=5)", COLUMN.format("18446744073709551616")),
    ("s(0, k  =5)", SPEC.format("k  =5")), ("s(0, K=5)", SPEC.format("K=5")),
    ("s(0, 5)", SPEC.format("5")), ("s(0, k=)", VALUE.format("")),
    ("s(0, k= =3)", VALUE.format("")), ("s(0, k=five)", VALUE.format("five")),
    ("s(0, k=1e3)", VALUE.format("1e3")), ("s(0, k=-4)", VALUE.format("-4")),
    # The first failing piece decides, from the left.
    ("s(x, k=5) + s(0, k=)", COLUMN.format("x")),
    ("s(0, k=5) + s(1, k=) + s(x, k=5)", VALUE.format("")),
])
def test_refused(formula, message):
    with pytest.raises(ValueError) as e:
        vt.smooth_parse_formula(formula)
    assert str(e.value) == message


@pytest.fixture
def data(rng):
    x = np.column_stack([rng.uniform(0, 1, 200), rng.uniform(-10, 30, 200),
                         rng.exponential(2.0, 200)])
    return x


def names_and_columns(terms):
    return [(t["name"], t["column"]) for t in terms]


class TestAutoSetup:
    @pytest.mark.parametrize("basis", ["bs", "cr"])
    def test_one_term_per_column(self, data, basis):
        message, terms = vt.smooth_auto_setup(data, [5, 6, 7], basis)
        assert message is None
        assert names_and_columns(terms) == [("x0", 0), ("x1", 1), ("x2", 2)]
        assert [t["kind"] for t in terms] == [basis] * 3
        assert [t["num_basis"] for t in terms] == [5, 6, 7]
        for j, t in enumerate(terms):
            col = data[:, j]
            if basis == "cr":
                np.testing.assert_allclose(t["knots"][[0, -1]], [col.min(), col.max()])
            else:
                own = vt.smooth_bs_term(t["num_basis"], col)
                np.testing.assert_array_equal(t["knots"], own["knots"])

    def test_cr_range_skips_nan(self, data):
        x = data.copy()
        x[[3, 50], 1] = np.nan
        _, terms = vt.smooth_auto_setup(x, [5, 5, 5], "cr")
        col = np.delete(x[:, 1], [3, 50])
        np.testing.assert_allclose(terms[1]["knots"][[0, -1]], [col.min(), col.max()])

    def test_length_mismatch_leaves_the_list(self, data):
        message, terms = vt.smooth_auto_setup(data, [5], "cr")
        assert message == "k length (1) must match number of columns (3)"
        assert names_and_columns(terms) == [("old", 0)]

    @pytest.mark.parametrize("basis", ["CR", "BS", "tp", ""])
    def test_unknown_basis_after_emptying(self, data, basis):
        message, terms = vt.smooth_auto_setup(data, [5, 5, 5], basis)
        assert message == f"Unknown basis type '{basis}'. Use 'bs' or 'cr'."
        assert terms == []

    def test_no_columns_accepts_any_basis_name(self):
        message, terms = vt.smooth_auto_setup(np.zeros((4, 0)), [], "anything")
        assert message is None and terms == []

    @pytest.mark.parametrize("basis, k, message", [
        ("bs", [6, 3, 6], "Invalid parameter: Need at least 2 knots for penalty matrix"),
        ("bs", [6, 1, 6], "Invalid parameter: A bs smooth needs at least 2 basis functions, got 1"),
        ("cr", [6, 0, 6], "Invalid parameter: A cr smooth needs at least 2 basis functions, got 0"),
        ("cr", [6, 10**9, 6], "Invalid parameter: Number of basis functions (1000000000) "
                              "exceeds the supported maximum of 10000"),
        ("bs", [6, 2**64 - 1, 6], "Invalid parameter: Number of basis functions "
                                  "(18446744073709551615) exceeds the supported maximum of 10000"),
    ])
    def test_constructor_error_keeps_earlier_terms(self, data, basis, k, message):
        got, terms = vt.smooth_auto_setup(data, k, basis)
        assert got == message
        assert names_and_columns(terms) == [("x0", 0)]

    def test_bad_columns(self, data):
        x = data.copy()
        x[7, 0] = np.nan
        message, _ = vt.smooth_auto_setup(x, [5, 5, 5], "bs")
        assert message == ("Invalid parameter: The data column of a bs smooth must be finite, "
                           "found NaN at row 7")
        empty = np.zeros((0, 2))
        assert vt.smooth_auto_setup(empty, [5, 5], "bs")[0] == (
            "Invalid parameter: Cannot place bs smooth knots on an empty data column")
        assert vt.smooth_auto_setup(empty, [5, 5], "cr")[0] == (
            "Invalid parameter: A cr smooth needs a finite data range, got minimum inf and "
            "maximum -inf")

    def test_strided_input(self, data):
        wide = np.asfortranarray(np.repeat(data, 2, axis=1))[:, ::2]
        _, strided = vt.smooth_auto_setup(wide, [5, 6, 7], "bs")
        _, plain = vt.smooth_auto_setup(np.ascontiguousarray(data), [5, 6, 7], "bs")
        for a, b in zip(strided, plain):
            np.testing.assert_array_equal(a["knots"], b["knots"])


class TestFormulaSetup:
    def test_terms_on_their_own_columns(self, data):
        message, terms = vt.smooth_formula_setup(data, "s(2, k=8) + s(0, k=6) + s(2, k=8)")
        assert message is None
        assert names_and_columns(terms) == [("x2", 2), ("x0", 0), ("x2", 2)]
        assert all(t["kind"] == "bs" for t in terms)
        for t in terms:
            own = vt.smooth_bs_term(t["num_basis"], data[:, t["column"]])
            np.testing.assert_array_equal(t["knots"], own["knots"])
        np.testing.assert_array_equal(terms[0]["penalty"], terms[2]["penalty"])

    def test_column_out_of_range_leaves_the_list(self, data):
        message, terms = vt.smooth_formula_setup(data, "s(0, k=5) + s(3, k=5)")
        assert message == "Formula term s(3, k=5) refers to column 3, but x has 3 columns"
        assert names_and_columns(terms) == [("old", 0)]

    def test_parse_error_leaves_the_list(self, data):
        message, terms = vt.smooth_formula_setup(data, "s(0, k=5) +")
        assert message == TERM.format("")
        assert names_and_columns(terms) == [("old", 0)]

    def test_constructor_error_keeps_earlier_terms(self, data):
        message, terms = vt.smooth_formula_setup(data, "s(1, k=5) + s(0, k=3) + s(2, k=5)")
        assert message == "Invalid parameter: Need at least 2 knots for penalty matrix"
        assert names_and_columns(terms) == [("x1", 1)]

    def test_huge_k_is_refused_not_allocated(self, data):
        message, _ = vt.smooth_formula_setup(data, "s(0, k=1000000000)")
        assert message == ("Invalid parameter: Number of basis functions (1000000000) exceeds "
                           "the supported maximum of 10000")
