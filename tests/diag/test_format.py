"""Number formats of the diagnostic lines and the environment switches."""
import math
import os
import subprocess
import sys
from decimal import Decimal

import numpy as np
import pytest

import _velkan_testing as t

INF = float("inf")
NAN = float("nan")


def fmt(kind, value, precision=0):
    return t.format_number(kind, value, precision)


# Independent references built from Python's own float formatting.
def shortest_reference(v):
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    # repr gives the shortest round-trip digits; Decimal lays them out without exponent.
    return format(Decimal(repr(v)).normalize(), "f")


def exp_reference(v, n):
    mantissa, exp = f"{v:.{n}e}".split("e")
    return f"{mantissa}e{int(exp)}"


class TestShortest:
    @pytest.mark.parametrize("value, text", [
        (1.0, "1"), (0.0, "0"), (-0.0, "-0"), (1e-7, "0.0000001"),
        (1.2345678901234568e20, "123456789012345680000"), (0.1, "0.1"), (-2.5, "-2.5"),
        (123.456, "123.456"), (1e16, "10000000000000000"),
        (1000000000000000.2, "1000000000000000.2"), (1e300, "1" + "0" * 300),
        (5e-324, "0." + "0" * 323 + "5"), (INF, "inf"), (-INF, "-inf"), (NAN, "NaN"),
    ])
    def test_table(self, value, text):
        assert fmt("shortest", value) == text

    def test_random_doubles_match_reference(self):
        # Random bit patterns cover every exponent; the reference is Python's repr digits.
        bits = np.random.default_rng(7).integers(0, 2**63, size=3000, dtype=np.uint64)
        values = bits.view(np.float64)
        values = np.concatenate([values, -values, np.random.default_rng(8).normal(size=500)])
        for v in values.tolist():
            assert fmt("shortest", v) == shortest_reference(v), repr(v)

    def test_reads_back(self):
        for v in [0.1 + 0.2, 1 / 3, 2.0**-1074, 1.7976931348623157e308, 9007199254740993.0]:
            assert float(fmt("shortest", v)) == v


class TestFixedAndExponent:
    @pytest.mark.parametrize("value, n, text", [
        (1.0, 2, "1.00"), (123.456, 1, "123.5"),
        (2.675, 2, "2.67"),      # the double lies just below 2.675
        (0.125, 2, "0.12"),      # exact ties go to the even digit
        (0.375, 2, "0.38"),
        (99.96, 1, "100.0"),     # rounding carries into a new digit
        (-0.001, 2, "-0.00"), (0.5, 0, "0"), (1.5, 0, "2"), (1e-7, 3, "0.000"),
        (1.2345678901234568e20, 0, "123456789012345683968"),  # the double's exact value
        (INF, 2, "inf"), (-INF, 3, "-inf"), (NAN, 2, "NaN"),
    ])
    def test_fixed(self, value, n, text):
        assert fmt("fixed", value, n) == text

    @pytest.mark.parametrize("value, n, text", [
        (1230.0, 2, "1.23e3"), (4.5e-7, 2, "4.50e-7"), (0.0, 0, "0e0"), (0.0, 2, "0.00e0"),
        (-2.5, 1, "-2.5e0"), (1.0, 0, "1e0"),
        (9.96, 1, "1.0e1"),      # rounding moves the exponent
        (1e300, 1, "1.0e300"), (5e-324, 3, "4.941e-324"), (1e-10, 2, "1.00e-10"), (INF, 2, "inf"),
        (-INF, 0, "-inf"), (NAN, 4, "NaN"),
    ])
    def test_exponent(self, value, n, text):
        assert fmt("exp", value, n) == text

    def test_random_match_reference(self):
        rng = np.random.default_rng(11)
        values = rng.normal(size=400) * 10.0 ** rng.integers(-30, 30, size=400)
        for v in values.tolist():
            for n in (0, 1, 3, 6):
                assert fmt("fixed", v, n) == f"{v:.{n}f}"
                assert fmt("exp", v, n) == exp_reference(v, n)

    def test_large_precision_is_exact(self):
        # Long outputs must not be cut at a fixed buffer size.
        assert fmt("exp", 1.0, 300) == "1." + "0" * 300 + "e0"
        assert fmt("fixed", -1e300, 400) == f"{-1e300:.400f}"


class TestTemplate:
    @pytest.mark.parametrize("template, values, text", [
        ("{}", [1.0], "1"), ("{}", [7], "7"), ("{}", [-12], "-12"),
        ("{}", [2**64 - 1], "18446744073709551615"), ("{}", [True], "true"),
        ("{} {}", [False, "x"], "false x"), ("{}", [[1.0, 2.5, -0.1]], "[1, 2.5, -0.1]"),
        ("{}", [[]], "[]"), ("{}", [[INF, -INF, NAN]], "[inf, -inf, NaN]"),
        ("{:.2}", [[1.0, 2.555]], "[1.00, 2.56]"), ("{:.1e}", [[1230.0, 0.0]], "[1.2e3, 0.0e0]"),
        ("{:.3}", [3.14159], "3.142"), ("{:.2e}", [4.5e-7], "4.50e-7"),
        ("{:e}", [1234.5], "1.2345e3"),
        ("{:>10.6e}", [1.5], "1.500000e0"),       # exactly 10 characters: no padding
        ("[{:>10.2e}]", [1.5], "[    1.50e0]"),
        ("[{:10.3}]", [2.0], "[     2.000]"),     # right alignment is the default
        ("[{:<8}]", [0.25], "[0.25    ]"), ("[{:>10}]", [NAN], "[       NaN]"),
        ("[{:>10}]", [-INF], "[      -inf]"),
        ("[{:>3}]", [123456.0], "[123456]"),       # too wide: never cut
        ("a {{literal}} {}", [1.0], "a {literal} 1"),
        ("{} {}", [1.0], "1 {?}"),                 # a missing argument is visible
        ("elapsed {:.2} ms", [12.3456], "elapsed 12.35 ms"),
    ])
    def test_table(self, template, values, text):
        assert t.format_template(template, values) == text

    def test_absurd_width_and_precision_are_clamped(self):
        out = t.format_template("{:99999999999999999999.99999999999999e}", [1.0])
        assert out == "1." + "0" * 1000 + "e0"


def switch_state(env_bytes):
    """switch_enabled('profile') in a fresh interpreter whose environment is env_bytes."""
    env = {k: v for k, v in os.environb.items() if k != b"VELKAN_PROFILE"}
    env.update(env_bytes)
    out = subprocess.run([sys.executable, "-c",
                          "import _velkan_testing as t; print(t.switch_enabled('profile'))"],
                         capture_output=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.decode().strip()


class TestSwitches:
    @pytest.mark.parametrize("env, state", [
        ({}, "False"), ({b"VELKAN_PROFILE": b""}, "True"),
        ({b"VELKAN_PROFILE": b"0"}, "True"),           # any text counts, even "0"
        ({b"VELKAN_PROFILE": b"\xff"}, "False"),        # not UTF-8
        ({b"VELKAN_PROFILE": b"\xc0\xaf"}, "False"),    # overlong encoding
        ({b"VELKAN_PROFILE": b"\xed\xa0\x80"}, "False"),  # surrogate
        ({b"VELKAN_PROFILE": b"ab\xe2\x82"}, "False"),  # truncated sequence
    ])
    def test_environment_values(self, env, state):
        assert switch_state(env) == state

    @pytest.mark.parametrize("name, variable", [
        ("profile", "VELKAN_PROFILE"), ("grad", "VELKAN_GRAD_DEBUG"),
        ("hess", "VELKAN_HESS_DEBUG"), ("trace", "VELKAN_TRACE_DEBUG"),
    ])
    def test_looked_up_anew_each_time(self, monkeypatch, name, variable):
        monkeypatch.delenv(variable, raising=False)
        assert t.switch_enabled(name) is False
        monkeypatch.setenv(variable, "")
        assert t.switch_enabled(name) is True
        monkeypatch.delenv(variable)
        assert t.switch_enabled(name) is False

    def test_governed_line_reaches_sys_stdout(self, monkeypatch, capsys):
        monkeypatch.delenv("VELKAN_PROFILE", raising=False)
        t.trace_line("profile", "[PROFILE] step {:.2} ms\n", 1.0)
        monkeypatch.setenv("VELKAN_PROFILE", "1")
        t.trace_line("profile", "[PROFILE] step {:.2} ms\n", 2.0)
        assert capsys.readouterr().out == "[PROFILE] step 2.00 ms\n"
