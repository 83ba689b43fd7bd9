"""velkan_core.newton_pirls_py: signature, conversions, defaults, result tuple and errors."""
import numpy as np
import pytest

import _velkan_testing as t
import velkan_core as v
from tests.search.problems import additive

PREFIX = "Newton-PIRLS optimization failed: "


@pytest.fixture(scope="module")
def data():
    y, x, w, pens = additive(150, [8, 8], seed=9)
    return y, x, w, np.zeros(2), pens


def test_signature_and_doc():
    assert v.newton_pirls_py.__text_signature__ == (
        "(y, x, w, initial_log_lambda, penalties, max_iter, grad_tol, verbose)")
    assert not v.newton_pirls_py.__doc__


def test_result_tuple(data):
    out = v.newton_pirls_py(*data, 5, 1e-3, False)
    log_lambda, lam, reml, iterations, converged, message = out
    core = t.search_newton_pirls(*data, 5, 1e-3, 1e-10, 0.5, 20, False)
    assert isinstance(log_lambda, np.ndarray) and isinstance(lam, np.ndarray)
    assert type(reml) is float and type(iterations) is int and type(converged) is bool
    assert isinstance(message, str)
    np.testing.assert_array_equal(log_lambda, core[0])
    np.testing.assert_array_equal(lam, core[1])
    assert (reml, iterations, converged, message) == (core[2], core[3], core[5], core[6])


def test_none_means_defaults(data, capsys):
    by_position = v.newton_pirls_py(*data, None, None, None)
    by_keyword = v.newton_pirls_py(y=data[0], x=data[1], w=data[2], initial_log_lambda=data[3],
                                   penalties=data[4], max_iter=None, grad_tol=None, verbose=None)
    explicit = v.newton_pirls_py(*data, 100, 1e-6, False)
    assert capsys.readouterr().out == ""
    for a, b in [(by_position, explicit), (by_keyword, explicit)]:
        np.testing.assert_array_equal(a[0], b[0])
        assert a[2:] == b[2:]
    assert explicit[3] <= 100 and (explicit[4] == explicit[5].startswith("Converged"))
    assert explicit[5].endswith("< 1.000000e-6") or explicit[5] == "Max iterations (100) reached"


@pytest.mark.parametrize("change, message", [
    ({"initial_log_lambda": np.zeros(1)},
     "Matrix dimension mismatch: Number of penalties (2) must match log_lambda (1)"),
    ({"penalties": [np.eye(16), np.eye(15)]},
     "Matrix dimension mismatch: Penalty 1 is 15x15 but X has 16 columns"),
])
def test_core_errors_carry_the_prefix(data, change, message):
    args = dict(zip(["y", "x", "w", "initial_log_lambda", "penalties"], data))
    args.update(change)
    with pytest.raises(ValueError) as e:
        v.newton_pirls_py(**args, max_iter=None, grad_tol=None, verbose=None)
    assert str(e.value) == PREFIX + message


@pytest.mark.parametrize("index, value, error", [
    (0, [1.0] * 150, TypeError), (1, np.zeros(150), TypeError),
    (4, [np.eye(16).astype(np.float32)] * 2, TypeError), (5, -1, OverflowError),
    (6, "tight", TypeError),
])
def test_conversion_errors(data, index, value, error):
    args = list(data) + [None, None, None]
    args[index] = value
    with pytest.raises(error):
        v.newton_pirls_py(*args)


def test_every_argument_is_required(data):
    with pytest.raises(TypeError):
        v.newton_pirls_py(*data, None, None)
