"""Argument conversion shared by every method and module function."""
from fractions import Fraction

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _velkan_testing as t
from tests.helpers import run_python


def misaligned(n):
    buf = np.zeros(n * 8 + 1, dtype=np.uint8)
    return np.frombuffer(buf.data, dtype=np.float64, count=n, offset=1)


BASE = np.arange(24, dtype=np.float64).reshape(4, 6)


class TestArrays:
    @pytest.mark.parametrize("x", [
        BASE,
        np.asfortranarray(BASE),
        BASE.T,
        BASE[::2, 1::2],
        BASE[::-1, ::-2],                     # negative strides
        BASE[:0],                             # no rows
        BASE[:, :1],
        as_strided(BASE, shape=(4, 1), strides=(48, 3)),  # unused stride, not a multiple of 8
        as_strided(BASE, shape=(1, 6), strides=(5, 8)),
    ], ids=["c", "f", "transposed", "strided", "negative", "empty", "one-col", "odd-stride-col",
            "odd-stride-row"])
    def test_matrix_views_read_the_right_elements(self, x):
        out = t.convert("matrix", x)
        assert out.shape == x.shape
        np.testing.assert_array_equal(out, x)

    @pytest.mark.parametrize("v", [
        np.linspace(0, 1, 7), np.linspace(0, 1, 7)[::3], np.linspace(0, 1, 7)[::-2], np.zeros(0),
        BASE[:, 2],
    ])
    def test_vector_views(self, v):
        np.testing.assert_array_equal(t.convert("vector", v), v)

    @pytest.mark.parametrize("kind, obj, fragment", [
        ("matrix", [[1.0, 2.0]], "argument 'arg'"), ("matrix", BASE.astype(np.int64), "dtype"),
        ("matrix", BASE.astype(np.float32), "dtype"), ("matrix", np.zeros(3), "2-D"),
        ("matrix", np.zeros((2, 2, 2)), "2-D"), ("matrix", BASE.astype(">f8"), "byte order"),
        ("vector", [1.0, 2.0], "argument 'arg'"), ("vector", np.zeros((2, 2)), "1-D"),
        ("vector", np.arange(3), "dtype"), ("vector", misaligned(3), "aligned"),
        ("vector", 1.0, "argument 'arg'"),
        ("matrix_list", [BASE, BASE.astype(np.int32)], "argument 'arg'"),
        ("matrix_list", BASE, "argument 'arg'"),   # an array is a sequence of 1-D rows
    ])
    def test_refused_with_type_error_naming_the_argument(self, kind, obj, fragment):
        with pytest.raises(TypeError, match="conv\\(\\) argument 'arg'") as info:
            t.convert(kind, obj)
        assert fragment in str(info.value)

    @pytest.mark.parametrize("v", [np.arange(8.0)[::2], np.arange(8.0)[::-1]])
    def test_contiguity_required(self, v):
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            t.convert("contiguous_vector", v)
        np.testing.assert_array_equal(t.convert("contiguous_vector", v.copy()), v)

    def test_matrix_list_copies(self):
        out = t.convert("matrix_list", (BASE, BASE.T[::-1]))
        assert len(out) == 2
        np.testing.assert_array_equal(out[1], BASE.T[::-1])


class TestSizes:
    @pytest.mark.parametrize("obj, value", [
        ([10, 15], [10, 15]), ((3,), [3]), (range(3), [0, 1, 2]),
        (np.array([4, 5]), [4, 5]),          # NumPy integers through __index__
        ([np.uint8(7)], [7]), ([], []), ([2**64 - 1], [2**64 - 1]),
    ])
    def test_accepted(self, obj, value):
        assert t.convert("sizes", obj) == value

    @pytest.mark.parametrize("obj, exc", [
        ("10", TypeError), (b"\x0a", TypeError), (10, TypeError), ((i for i in [1]), TypeError),
        ([1.5], TypeError), ([np.float64(2.0)], TypeError), (["3"], TypeError),
        ([None], TypeError), ([1, -2], OverflowError), ([2**64], OverflowError),
    ])
    def test_refused(self, obj, exc):
        with pytest.raises(exc) as info:
            t.convert("sizes", obj)
        assert type(info.value) is exc
        if exc is TypeError:
            assert "argument 'arg'" in str(info.value)

    def test_list_changed_while_converting(self):
        # An item's __index__ empties the list being converted: the converter works on a
        # snapshot and must neither crash nor read freed items.
        code = (
            "import _velkan_testing as t\n"
            "class Evil:\n"
            "    def __index__(self):\n"
            "        items.clear()\n"
            "        return 1\n"
            "items = [Evil(), 1000001, 1000002]\n"
            "print(t.convert('sizes', items), items)\n")
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "[1, 1000001, 1000002] []"


class TestScalars:
    @pytest.mark.parametrize("kind, obj, value", [
        ("size", 3, 3), ("size", np.int64(4), 4), ("size", 2**64 - 1, 2**64 - 1),
        ("double", 1, 1.0), ("double", 2.5, 2.5), ("double", np.float32(0.5), 0.5),
        ("double", Fraction(1, 4), 0.25), ("bool", True, True), ("bool", False, False),
        ("string", "héllo", "héllo"), ("floats", [1, 2.5, np.float64(3)], None),
    ])
    def test_accepted(self, kind, obj, value):
        out = t.convert(kind, obj)
        if kind == "floats":
            np.testing.assert_array_equal(out, [1.0, 2.5, 3.0])
        else:
            assert out == value and type(out) is type(value)

    @pytest.mark.parametrize("kind, obj, exc", [
        ("size", -1, OverflowError), ("size", 2**64, OverflowError), ("size", 1.0, TypeError),
        ("size", "3", TypeError), ("double", "1.0", TypeError), ("double", 1j, TypeError),
        ("bool", 1, TypeError), ("string", b"gaussian", TypeError), ("string", 1, TypeError),
        ("string", "\ud800", ValueError), ("floats", "12", TypeError),
        ("floats", ["1"], TypeError),
    ])
    def test_refused(self, kind, obj, exc):
        with pytest.raises(exc) as info:
            t.convert(kind, obj)
        assert type(info.value) is exc
        if exc is not OverflowError:
            assert "argument 'arg'" in str(info.value)
