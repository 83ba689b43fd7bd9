"""The number formats of the diagnostic lines (exact rows and Python's own float formatting
as the reference), the environment switches, and every diagnostic line the core prints."""
import math
import os
import re
import subprocess
import sys
from decimal import Decimal

import numpy as np
import pytest

import _velkan_testing as t

INF, NAN = float("inf"), float("nan")


def shortest_reference(v):
    if math.isnan(v) or math.isinf(v):
        return {True: "NaN", False: "inf" if v > 0 else "-inf"}[math.isnan(v)]
    return format(Decimal(repr(v)).normalize(), "f")  # repr's shortest digits without exponent


@pytest.mark.parametrize("kind, value, n, text", [
    ("shortest", -0.0, 0, "-0"), ("shortest", 1e-7, 0, "0.0000001"), ("shortest", NAN, 0, "NaN"),
    ("shortest", 1.2345678901234568e20, 0, "123456789012345680000"),
    ("shortest", 5e-324, 0, "0." + "0" * 323 + "5"), ("fixed", -0.001, 2, "-0.00"),
    ("fixed", 2.675, 2, "2.67"), ("fixed", 0.125, 2, "0.12"), ("fixed", 99.96, 1, "100.0"),
    ("fixed", 1.2345678901234568e20, 0, "123456789012345683968"), ("fixed", -INF, 3, "-inf"),
    ("exp", 1230.0, 2, "1.23e3"), ("exp", 4.5e-7, 2, "4.50e-7"), ("exp", 0.0, 0, "0e0"), ("exp", 9.96, 1, "1.0e1"),
    ("exp", 5e-324, 3, "4.941e-324"), ("exp", NAN, 4, "NaN"), ("exp", 1.0, 300, "1." + "0" * 300 + "e0"),
])
def test_number_formats(kind, value, n, text):
    assert t.format_number(kind, value, n) == text


def test_random_doubles_match_python():
    rng = np.random.default_rng(7)
    values = rng.integers(0, 2**63, size=3000, dtype=np.uint64).view(np.float64)  # every exponent
    for v in np.concatenate([values, -values]).tolist():
        assert t.format_number("shortest", v) == shortest_reference(v), repr(v)
    for v in (rng.normal(size=400) * 10.0 ** rng.integers(-30, 30, size=400)).tolist():
        for n in (0, 3, 6):
            mantissa, exp = f"{v:.{n}e}".split("e")
            assert t.format_number("fixed", v, n) == f"{v:.{n}f}"
            assert t.format_number("exp", v, n) == f"{mantissa}e{int(exp)}"


@pytest.mark.parametrize("template, values, text", [
    ("{} {} {} {}", [7, -12, 2**64 - 1, True], "7 -12 18446744073709551615 true"),
    ("{} {}", [False, "x"], "false x"), ("{}", [[1.0, 2.5, -0.1]], "[1, 2.5, -0.1]"),
    ("{}", [[INF, NAN]], "[inf, NaN]"), ("{:.2}", [[1.0, 2.555]], "[1.00, 2.56]"),
    ("{:.1e}", [[1230.0, 0.0]], "[1.2e3, 0.0e0]"), ("{:e}", [1234.5], "1.2345e3"),
    ("[{:>10.2e}]", [1.5], "[    1.50e0]"), ("[{:10.3}]", [2.0], "[     2.000]"), ("[{:<8}]", [0.25], "[0.25    ]"),
    ("[{:>3}]", [123456.0], "[123456]"), ("a {{literal}} {}", [1.0], "a {literal} 1"), ("{} {}", [1.0], "1 {?}"),
    ("{:99999999999999999999.99999999999999e}", [1.0], "1." + "0" * 1000 + "e0"),  # clamped
])
def test_templates(template, values, text):
    assert t.format_template(template, values) == text


@pytest.mark.parametrize("value, state", [(b"", True), (b"0", True), (b"\xff", False), (b"\xc0\xaf", False),
                                          (b"\xed\xa0\x80", False), (b"ab\xe2\x82", False)])
def test_switch_takes_any_utf8_text(monkeypatch, value, state):
    monkeypatch.setitem(os.environb, b"VELKAN_PROFILE", value)
    assert t.switch_enabled("profile") is state


SOURCES = """
import numpy as np, velkan_core as vc, _velkan_testing as vt
from tests.oracles import additive
y, X, w, S = additive(400, [8, 8], seed=3)
vc.GAM().fit(X[:, :2], y, [8, 6])
vc.reml_hessian_multi_qr_py(y, X, w, [1.0, 2.0], S)
vt.reml_gradient_blockwise(np.tile(y, 7), np.tile(X, (7, 1)), np.ones(2800), [1.0, 2.0], S)
vt.search_optimize(y, X, w, S, np.ones(2), "REML", "FellnerSchall")
"""
# Each variable's lines, by prefix; continuation lines start with spaces.
PREFIXES = {"VELKAN_PROFILE": ["PROFILE"], "VELKAN_HESS_DEBUG": ["HESS_CORRECTED"],
            "VELKAN_TRACE_DEBUG": ["TRACE_DEBUG"],
            "VELKAN_GRAD_DEBUG": ["PENALTY_SQRT_DEBUG", "Z_BUILD_DEBUG", "QR_DEBUG", "PHI_DEBUG", "BLOCKWISE_DEBUG",
                                  "SMOOTH_DEBUG"]}
LINE = re.compile(r"\[(?P<prefix>[A-Z_]+)\] +\S.*|  +\S.*|")
# Exponents without '+' or leading zeros (a digit and a point may follow: the next field
# of a row written without separators), NaN and inf spelled so.
BAD_NUMBER = re.compile(r"\de\+|\de-?0\d(?!\.)|\b(?:nan|NAN|Inf|INF)\b|Infinity")


@pytest.mark.parametrize("variable", sorted(PREFIXES) + [None])
def test_every_line_has_its_prefix_and_number_formats(variable):
    env = {k: v for k, v in os.environ.items() if k not in PREFIXES}
    env.update({variable: ""} if variable else {})
    env["PYTHONPATH"] = os.pathsep.join([os.getcwd(), env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, "-c", SOURCES], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert bool(lines) == bool(variable)
    seen = set()
    for line in lines:
        m = LINE.fullmatch(line)
        assert m and not BAD_NUMBER.search(line), line
        seen.add(m.group("prefix"))
    assert seen - {None} == set(PREFIXES.get(variable, []))
