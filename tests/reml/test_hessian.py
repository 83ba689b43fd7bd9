import re

import numpy as np
import pytest

import velkan_core
from tests.helpers import run_python
from tests.reml.derivative_problems import additive_problem

hessian = velkan_core.reml_hessian_multi_qr_py
gradient = velkan_core.reml_gradient_multi_qr_py


def fd_jacobian_of_gradient(y, X, w, lambdas, S, h=1e-4):
    rho = np.log(np.asarray(lambdas, dtype=float))
    cols = []
    for i in range(len(rho)):
        up, down = rho.copy(), rho.copy()
        up[i] += h
        down[i] -= h
        cols.append((gradient(y, X, w, list(np.exp(up)), S) -
                     gradient(y, X, w, list(np.exp(down)), S)) / (2 * h))
    return np.array(cols).T


class TestAgainstGradient:
    """Central differences of the (direct) gradient are the oracle."""

    @pytest.mark.parametrize("m", [1, 2, 3])
    @pytest.mark.parametrize("scaled", [True, False])
    @pytest.mark.parametrize("weighted", [False, True])
    def test_matches_finite_differences(self, m, scaled, weighted):
        # Unmended, several smooths give entries of 1e25 and more here (the inverse of a
        # triangle that is singular to rounding); unweighted residual sums miss by up to 0.3.
        rng = np.random.default_rng(60 + m)
        y, X, S = additive_problem(rng, 400, m, scaled=scaled)
        w = rng.uniform(0.2, 3.0, len(y)) if weighted else np.ones(len(y))
        base = 1.0 if scaled else 1e-3
        for lambdas in ([base] * m, list(base * np.exp(rng.uniform(-3, 3, m)))):
            h = hessian(y, X, w, lambdas, S)
            assert h.shape == (m, m)
            np.testing.assert_array_equal(h, h.T)
            np.testing.assert_allclose(h, fd_jacobian_of_gradient(y, X, w, lambdas, S),
                                       rtol=1e-5, atol=1e-5)

    def test_zero_column_without_penalty(self, rng):
        # Without the ridge this was "Singular matrix encountered"; now the unused column
        # changes nothing beyond the ridge level.
        y, X, S = additive_problem(rng, 300, 2)
        Xz = np.hstack([X[:, :4], np.zeros((300, 1)), X[:, 4:]])
        Sz = [np.insert(np.insert(s, 4, 0.0, axis=0), 4, 0.0, axis=1) for s in S]
        h = hessian(y, Xz, np.ones(300), [0.5, 2.0], Sz)
        assert np.all(np.isfinite(h))
        np.testing.assert_allclose(h, hessian(y, X, np.ones(300), [0.5, 2.0], S), rtol=1e-6, atol=1e-8)

    def test_no_residual_degrees_of_freedom(self, rng):
        y, X, S = additive_problem(rng, 8, 1)  # rank 8 penalty, 8 rows
        assert np.all(np.isnan(hessian(y, X, np.ones(8), [1.0], S)))


ENTRY_LABELS = [
    r"  Term 1 \(∂²tr/∂ρⱼ∂ρᵢ\): {v}",
    r"    - 1a \(cross\): {v}",
    r"    - 1b \(diagonal\): {v}",
    r"  Term 2 \(∂²\(P/φ\)/∂ρⱼ∂ρᵢ\): {v}",
    r"    - 2a \(d2P/φ\): {v}",
    r"    - 2b \(cross dP·dφ/φ²\): {v}",
    r"    - 2c \(P·dφ²/φ³\): {v}",
    r"    - 2d \(P·d2φ/φ²\): {v}",
    r"    - d2rss: {v}",
    r"    - d2P: {v}",
    r"    - d2phi: {v}",
    r"  Term 3 \(∂/∂ρⱼ\[\(n-r\)·dφ/φ\]\): {v}",
    r"    - 3a \(\(n-r\)·d2φ/φ\): {v}",
    r"    - 3b \(-\(n-r\)·dφ²/φ²\): {v}",
    r"  TOTAL: {v}",
]
NUMBER = r"-?\d\.\d{6}e-?\d+"

DEBUG_CODE = """
import numpy as np, velkan_core
from tests.reml.derivative_problems import additive_problem
y, X, S = additive_problem(np.random.default_rng(3), 200, {m})
h = velkan_core.reml_hessian_multi_qr_py(y, X, np.ones(200), [1.0] * {m}, S)
print("RESULT", repr(h.tolist()))
"""


def run_debug(m, env):
    import os
    env = dict(env)
    env["PYTHONPATH"] = os.pathsep.join([os.getcwd(), os.environ.get("PYTHONPATH", "")])
    out = run_python(DEBUG_CODE.format(m=m), env_extra=env, unset=["VELKAN_GRAD_DEBUG"])
    assert out.returncode == 0, out.stderr
    text, result = out.stdout.split("RESULT ")
    return text, np.array(eval(result))


class TestDebugLines:
    @pytest.mark.parametrize("m, pairs", [(1, [(0, 0)]), (3, [(0, 0), (0, 1), (1, 1), (2, 2)])])
    @pytest.mark.parametrize("value", ["", "1"])
    def test_blocks(self, m, pairs, value):
        text, h = run_debug(m, {"VELKAN_HESS_DEBUG": value})
        lines = text.split("\n")
        assert lines[:3] == [
            "",
            "[HESS_CORRECTED] Starting CORRECTED Hessian computation (matching gradient)",
            f"[HESS_CORRECTED] n=200, p={10 * m}, m={m}",
        ]
        assert re.fullmatch(rf"\[HESS_CORRECTED\] RSS={NUMBER}, phi={NUMBER}, P={NUMBER}", lines[3])
        assert lines[4] == f"[HESS_CORRECTED] total_rank={8 * m}, n-r={200 - 8 * m}.000000"
        # one block per printed pair: a blank line, the header, fifteen value lines
        pos = 5
        for a, b in pairs:
            assert lines[pos:pos + 2] == ["", f"[HESS_CORRECTED] H[{a},{b}]:"]
            block = lines[pos + 2:pos + 17]
            for line, label in zip(block, ENTRY_LABELS):
                assert re.fullmatch(label.format(v=f"({NUMBER})"), line), line
            total = float(block[-1].split(": ")[1])
            assert total == pytest.approx(h[a, b], rel=1e-6)
            terms = [float(block[i].split(": ")[1]) for i in (0, 3, 11)]
            assert sum(terms) == pytest.approx(total, rel=1e-5, abs=1e-6 * abs(h).max())
            pos += 17
        assert lines[pos:pos + 2] == ["", "[HESS_CORRECTED] Final Hessian:"]
        rows = lines[pos + 2:pos + 2 + m]
        for i, row in enumerate(rows):
            assert row.startswith("  [") and row.endswith("]")
            # Fields are right-aligned in width 10 with no separator, so an exponent runs
            # into the next mantissa: an exponent ends where a digit and a point follow.
            fields = re.findall(r" *-?\d\.\d{6}e-?\d+?(?=$|[ -]|\d\.)", row[3:-1])
            assert "".join(fields) == row[3:-1]
            assert len(fields) == m and all(len(f) >= 10 for f in fields)
            np.testing.assert_allclose([float(f) for f in fields], h[i], rtol=1e-6)
        assert lines[pos + 2 + m:] == [""]

    def test_silent_when_unset(self):
        text, _ = run_debug(2, {})
        assert text == ""
