"""The binding boundary: argument conversion (every memory layout once, here), error values,
their translation into Python exceptions, the C++ exception backstop and the borrow flag."""
import re
from fractions import Fraction

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _velkan_testing as t
from tests.helpers import run_python

BASE = np.arange(24, dtype=np.float64).reshape(4, 6)


@pytest.mark.parametrize("x", [
    BASE, np.asfortranarray(BASE), BASE.T, BASE[::2, 1::2], BASE[::-1, ::-2], BASE[:0], BASE[:, :1],
    as_strided(BASE, shape=(4, 1), strides=(48, 3)),  # an unused stride need not step whole elements
    as_strided(BASE, shape=(1, 6), strides=(5, 8)), np.broadcast_to(BASE[:1], (4, 6)),
], ids=["c", "f", "transposed", "strided", "negative", "empty", "one-col", "odd-col", "odd-row", "broadcast"])
def test_matrix_and_vector_views_read_the_right_elements(x):
    np.testing.assert_array_equal(t.conv_matrix(x), x)
    np.testing.assert_array_equal(t.conv_vector(x[:, 0]), x[:, 0])
    for got, want in zip(t.conv_matrix_list((x, x.T)), (x, x.T)):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("conv, obj, exc, fragment", [
    (t.conv_matrix, [[1.0, 2.0]], TypeError, "2-D numpy.ndarray"), (t.conv_matrix, np.zeros(3), TypeError, "2-D"),
    (t.conv_matrix, BASE.astype(np.float32), TypeError, "dtype"),
    (t.conv_matrix, BASE.astype(">f8"), TypeError, "byte order"),
    (t.conv_matrix, np.ma.masked_array(BASE), TypeError, "not a masked array"),  # its masked entries would be read
    (t.conv_vector, np.frombuffer(bytearray(25), np.float64, 3, 1), TypeError, "aligned"),
    (t.conv_matrix_list, [BASE, BASE.astype(np.int32)], TypeError, "arg"),
    (t.conv_sizes, "10", TypeError, "arg"), (t.conv_sizes, [1.5], TypeError, "arg"),
    (t.conv_sizes, [1, -2], OverflowError, ""), (t.conv_sizes, [2**64], OverflowError, ""),
    (t.conv_double, "1.0", TypeError, "arg"), (t.conv_bool, 1, TypeError, "arg"),
    (t.conv_string, b"gaussian", TypeError, "arg"), (t.conv_string, "\ud800", ValueError, "arg"),
    (t.conv_floats, ["1"], TypeError, "arg"),
])
def test_refused_naming_the_argument(conv, obj, exc, fragment):
    with pytest.raises(exc) as info:
        conv(obj)
    assert type(info.value) is exc and fragment in str(info.value)
    if exc is TypeError:
        assert "argument 'arg'" in str(info.value)


@pytest.mark.parametrize("conv, obj, value", [
    (t.conv_sizes, range(3), [0, 1, 2]), (t.conv_sizes, np.array([4, 5]), [4, 5]), (t.conv_sizes, (np.uint8(7),), [7]),
    (t.conv_size, 2**64 - 1, 2**64 - 1), (t.conv_double, Fraction(1, 4), 0.25), (t.conv_double, np.float32(0.5), 0.5),
    (t.conv_string, "héllo", "héllo"), (t.conv_bool, False, False),
])
def test_accepted(conv, obj, value):
    out = conv(obj)
    assert out == value and type(out) is type(value)


def test_list_changed_while_converting():
    # An item's __index__ empties the list: the converter works on a snapshot.
    code = ("import _velkan_testing as t\nclass Evil:\n    def __index__(self):\n        items.clear()\n"
            "        return 1\nitems = [Evil(), 1000001]\nprint(t.conv_sizes(items), items)\n")
    out = run_python(code)
    assert out.returncode == 0 and out.stdout.strip() == "[1, 1000001] []", out.stderr


@pytest.mark.parametrize("kind, payload, display, debug", [
    (0, "X has 100 rows", "Matrix dimension mismatch: X has 100 rows", 'DimensionMismatch("X has 100 rows")'),
    (1, "", "Optimization failed: ", 'OptimizationFailed("")'),
    (2, "ignored", "Singular matrix encountered", "SingularMatrix"),
    (3, 'say "hi"\\ok', 'Invalid parameter: say "hi"\\ok', 'InvalidParameter("say \\"hi\\"\\\\ok")'),
    (4, "a\nb\tc\x01\r\x00", "Linear algebra error: a\nb\tc\x01\r\x00", 'LinAlgError("a\\nb\\tc\\u{1}\\r\\0")'),
    (5, "GCV with 2 smooths", "Not implemented: GCV with 2 smooths", 'NotImplemented("GCV with 2 smooths")'),
])
def test_error_renderings_and_translation(kind, payload, display, debug):
    assert t.gam_error_render(kind, payload) == (display, debug)
    with pytest.raises(ValueError) as info:
        t.raise_gam_error(kind, payload, "Failed to compute penalty: ")
    assert type(info.value) is ValueError and info.value.args == ("Failed to compute penalty: " + display,)


def test_usage_error_has_no_variant_prefix():
    with pytest.raises(ValueError, match=r"^method must be 'GCV' or 'REML'$"):
        t.raise_usage_error("method must be 'GCV' or 'REML'")


@pytest.mark.parametrize("what, exc, message", [
    ("bad_alloc", ValueError, "Not enough memory for this request"),
    ("runtime_error", RuntimeError, "Internal error: boom"),
    ("int", RuntimeError, "Internal error"), ("null", RuntimeError, "Internal error: a call failed without a reason"),
    ("value_and_error", ValueError, "pending"),
])
def test_cpp_failures_never_reach_the_interpreter(what, exc, message):
    with pytest.raises(exc, match=f"^{re.escape(message)}$"):
        t.guarded_throw(what)


@pytest.mark.parametrize("outer, inner, conflict", [
    ("shared", "shared", None), ("shared", "exclusive", "Already borrowed"),
    ("exclusive", "exclusive", "Already borrowed"), ("exclusive", "shared", "Already mutably borrowed"),
])
def test_borrow_flag(outer, inner, conflict):
    # Free again once the guards are gone, a refused one included.
    assert t.borrow_nested(outer, inner) == (conflict, True)
