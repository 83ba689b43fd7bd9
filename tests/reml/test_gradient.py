import re

import numpy as np
import pytest

import _velkan_testing as vt
from tests.helpers import run_python
from tests.reml.derivative_problems import additive_problem, fd_gradient


def lambda_sets(rng, m, scaled):
    """Smoothing parameters at which to compare: all ones, and two random draws."""
    base = 1.0 if scaled else 1e-3
    return [[base] * m] + [list(base * np.exp(rng.uniform(-3, 3, m))) for _ in range(2)]


class TestAgainstCriterion:
    """Central differences of the REML criterion are the oracle."""

    # The gradient and the criterion share one ridge that does not move with lambda, so
    # the gradient is the criterion's exact slope (measured within 1e-8 relative here; the
    # per-element ridge the gradient once had left up to 4e-4).
    TOLERANCE = {"rtol": 1e-6, "atol": 1e-7}

    @pytest.mark.parametrize("m, scaled, weighted", [(1, True, False), (1, False, True),
                                                     (2, True, True), (3, False, False)])
    def test_against_the_criterion_slope(self, m, scaled, weighted):
        # With two or more smooths the penalized normal matrix is singular (a constant can
        # move between smooths). Without a ridge in the factor the gradient differed by 0.1
        # to 2 (the triangle's smallest pivot is rounding noise); with a criterion ridge
        # that followed the penalized diagonal, the criterion's own slope differed by 0.06
        # to 0.7 (its null directions contribute 0.5 ln(delta) each).
        rng = np.random.default_rng(11 if m == 1 else 20 + m)
        y, X, S = additive_problem(rng, 500, m, scaled=scaled)
        w = rng.uniform(0.2, 3.0, len(y)) if weighted else np.ones(len(y))
        for lambdas in lambda_sets(rng, m, scaled):
            g = vt.reml_gradient_multi_qr(y, X, w, lambdas, S)
            np.testing.assert_allclose(g, fd_gradient(y, X, w, lambdas, S), **self.TOLERANCE)

    def test_zero_column_without_penalty(self, rng):
        # The ridge keeps the factor invertible; the unused column changes nothing beyond
        # the ridge level.
        y, X, S = additive_problem(rng, 300, 2)
        Xz = np.hstack([X, np.zeros((300, 1))])
        Sz = [np.pad(s, ((0, 1), (0, 1))) for s in S]
        w = np.ones(300)
        g = vt.reml_gradient_multi_qr(y, Xz, w, [0.5, 2.0], Sz)
        assert np.all(np.isfinite(g))
        np.testing.assert_allclose(g, vt.reml_gradient_multi_qr(y, X, w, [0.5, 2.0], S),
                                   rtol=1e-6, atol=1e-8)


class TestPaths:
    @pytest.mark.parametrize("m", [1, 2, 3])
    def test_direct_blockwise_and_cholesky_agree(self, m):
        rng = np.random.default_rng(40 + m)
        y, X, S = additive_problem(rng, 2500, m)
        w = rng.uniform(0.5, 2.0, len(y))
        lambdas = list(np.exp(rng.uniform(-2, 2, m)))
        direct = vt.reml_gradient_multi_qr(y, X, w, lambdas, S)
        blockwise = vt.reml_gradient_blockwise(y, X, w, lambdas, S)
        cached = vt.reml_gradient_blockwise(y, X, w, lambdas, S, None,
                                            X.T @ (w[:, None] * X), X.T @ (w * y))
        np.testing.assert_allclose(blockwise, direct, rtol=1e-7, atol=1e-9)
        np.testing.assert_allclose(cached, direct, rtol=1e-7, atol=1e-9)
        # and the large problem follows the criterion's slope (measured within 6e-6)
        np.testing.assert_allclose(direct, fd_gradient(y, X, w, lambdas, S), rtol=0, atol=5e-5)

    @pytest.mark.parametrize("n", [300, 2500])
    def test_square_roots_given_or_computed(self, rng, n):
        y, X, S = additive_problem(rng, n, 2)
        w = np.ones(n)
        roots = [vt.reml_penalty_sqrt(s) for s in S]
        np.testing.assert_array_equal(vt.reml_gradient_multi_qr(y, X, w, [1.0, 3.0], S, roots),
                                      vt.reml_gradient_multi_qr(y, X, w, [1.0, 3.0], S))
        np.testing.assert_array_equal(vt.reml_gradient_blockwise(y, X, w, [1.0, 3.0], S, roots),
                                      vt.reml_gradient_blockwise(y, X, w, [1.0, 3.0], S))

    def test_penalty_without_square_root_columns(self, rng):
        # r_i = 0: tr term and rank both vanish, as do the coefficient derivatives.
        y, X, S = additive_problem(rng, 400, 2)
        p = X.shape[1]
        g = vt.reml_gradient_multi_qr(y, X, np.ones(400), [1.0, 2.0, 5.0], S + [np.zeros((p, p))])
        assert g[2] == 0.0
        np.testing.assert_allclose(g[:2], vt.reml_gradient_multi_qr(y, X, np.ones(400), [1.0, 2.0], S),
                                   rtol=1e-5)


class TestDegenerate:
    def test_no_rows(self, rng):
        # No data: the scale is undefined, reported as NaN on both paths.
        _, X, S = additive_problem(rng, 50, 2)
        empty = np.zeros((0, X.shape[1]))
        g = vt.reml_gradient_multi_qr(np.zeros(0), empty, np.zeros(0), [1.0, 1.0], S)
        assert g.shape == (2,) and np.all(np.isnan(g))
        many = [S[0] / (j + 1) for j in range(22)]
        g = vt.reml_gradient_blockwise(np.zeros(0), empty, np.zeros(0), [1.0] * 22, many)
        assert g.shape == (22,) and np.all(np.isnan(g))

    def test_fewer_rows_than_columns(self, rng):
        # n + sum r_j < p: the triangle is completed with zero rows and the ridge keeps it
        # invertible, so the result is finite.
        n, p = 5, 10
        X = rng.normal(size=(n, p))
        l = rng.normal(size=(p, 3))
        g = vt.reml_gradient_multi_qr(rng.normal(size=n), X, np.ones(n), [1.0], [l @ l.T])
        assert np.all(np.isfinite(g))

    @pytest.mark.parametrize("roots, message", [
        ([np.ones((4, 1))] * 2, "Number of penalty square roots (2) must match number of penalties (1)"),
        ([np.ones((3, 1))], "Penalty square root 0 has 3 rows but X has 4 columns"),
    ])
    def test_square_root_shapes_checked(self, rng, roots, message):
        # (the other shape checks are exercised through the module functions)
        with pytest.raises(ValueError) as e:
            vt.reml_gradient_multi_qr(np.ones(10), rng.normal(size=(10, 4)), np.ones(10), [1.0], [np.eye(4)], roots)
        assert str(e.value) == "Matrix dimension mismatch: " + message


SMALL = """
import numpy as np, _velkan_testing as vt
X = np.array([[1.0, 0.0, 0.5], [1.0, 1.0, 0.0], [1.0, 2.0, 1.0], [1.0, 3.0, 4.0]])
y = np.array([1.0, 2.0, 2.5, 5.0])
S = np.diag([4.0, 0.0, 0.0])
g = vt.reml_gradient_multi_qr(y, X, np.ones(4), [2.0], [S])
"""


def small_expected():
    X = np.array([[1.0, 0.0, 0.5], [1.0, 1.0, 0.0], [1.0, 2.0, 1.0], [1.0, 3.0, 4.0]])
    y = np.array([1.0, 2.0, 2.5, 5.0])
    a = X.T @ X + 2.0 * np.diag([4.0, 0.0, 0.0])
    ridged = a + np.diag(1e-7 * 2 * np.maximum(np.abs(np.diag(a)), 1))
    beta = np.linalg.solve(ridged, X.T @ y)
    rss = np.sum((y - X @ beta) ** 2)
    return np.diag(a), rss


class TestDebugLines:
    @pytest.mark.parametrize("value", ["", "yes"])
    def test_direct_method(self, value):
        out = run_python(SMALL, env_extra={"VELKAN_GRAD_DEBUG": value})
        assert out.returncode == 0, out.stderr
        lines = [l for l in out.stdout.splitlines() if not l.startswith("[PENALTY_SQRT_DEBUG]")]
        d, rss = small_expected()
        assert lines[:5] == [
            "[Z_BUILD_DEBUG] Building Z matrix:",
            "[Z_BUILD_DEBUG]   n = 4, p = 3",
            "[Z_BUILD_DEBUG]   L0 shape: 3×1, λ0 = 2.000000",
            "[Z_BUILD_DEBUG]   Total Z rows: 5",
            # the eigenvector's sign is the solver's choice
            lines[4] if re.fullmatch(r"\[Z_BUILD_DEBUG\]   After adding L0 \(rows 4 to 4\), "
                                     r"first value: -?2\.828427e0", lines[4]) else "(bad line)",
        ]
        assert lines[5:10] == [
            "[QR_DEBUG] Z dimensions: 5×3",
            "[QR_DEBUG] R dimensions: 3×3",
            "[QR_DEBUG] total_rows=5, n=4, p=3",
            f"[QR_DEBUG] R'R diagonal: [{d[0]:.6f}, {d[1]:.6f}, ..., {d[2]:.6f}]",
            f"[PHI_DEBUG] n=4, total_rank=1, rss={rss:.6f}, phi={rss / 3:.6f}",
        ]
        assert len(lines) == 10

    def test_silent_when_unset(self):
        out = run_python(SMALL + "vt.reml_gradient_blockwise(np.tile(y, 600), np.tile(X, (600, 1)),"
                         " np.ones(2400), [2.0], [S])\n", unset=["VELKAN_GRAD_DEBUG"])
        assert out.returncode == 0, out.stderr
        assert out.stdout == ""

    @pytest.mark.parametrize("p, line", [
        (1, "[QR_DEBUG] R'R diagonal: [14.000000]"), (0, "[QR_DEBUG] R'R diagonal: []"),
    ])
    def test_small_triangles(self, p, line):
        code = (f"import numpy as np, _velkan_testing as vt\n"
                f"vt.reml_augmented_triangle(np.arange(4.0).reshape(4, 1)[:, :{p}], np.ones(4), [], [])\n")
        out = run_python(code, env_extra={"VELKAN_GRAD_DEBUG": "1"})
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines()[-1] == line

    def test_fewer_rows_than_columns(self):
        code = ("import numpy as np, _velkan_testing as vt\n"
                "rng = np.random.default_rng(0)\n"
                "l = rng.normal(size=(10, 3))\n"
                "vt.reml_gradient_multi_qr(rng.normal(size=5), rng.normal(size=(5, 10)), np.ones(5),"
                " [1.0], [l @ l.T])\n")
        out = run_python(code, env_extra={"VELKAN_GRAD_DEBUG": "1"})
        assert out.returncode == 0, out.stderr
        assert "[QR_DEBUG] Z dimensions: 8×10\n[QR_DEBUG] R dimensions: 8×10\n" in out.stdout


BLOCKWISE_SCENARIOS = """
import numpy as np, _velkan_testing as vt
from tests.reml.derivative_problems import additive_problem

def scenario(name, n, m, cache, indefinite=False):
    rng = np.random.default_rng(5)
    y, X, S = additive_problem(rng, n, 2, k=6)
    S = [S[j % 2] * (j + 1) for j in range(m)]
    w = rng.uniform(0.5, 2.0, len(y))
    xtwx, xtwy = X.T @ (w[:, None] * X), X.T @ (w * y)
    if indefinite:
        xtwx[0, 0] = -1e3
    print("=== " + name)
    print("max-diag", np.abs(np.diag(xtwx + sum(S))).max())
    if cache:
        vt.reml_gradient_blockwise(y, X, w, [1.0] * m, S, None, xtwx, xtwy)
    else:
        vt.reml_gradient_blockwise(y, X, w, [1.0] * m, S)

scenario("n1999", 1999, 2, False)
scenario("n2000", 2000, 2, False)
scenario("m22", 40, 22, False)
scenario("blockwise", 2600, 2, False)
scenario("cholesky", 2600, 2, True)
scenario("fallback", 2600, 2, True, indefinite=True)
"""


@pytest.fixture(scope="module")
def blockwise_output():
    import os
    path = os.pathsep.join([os.getcwd(), os.environ.get("PYTHONPATH", "")])
    out = run_python(BLOCKWISE_SCENARIOS, env_extra={"VELKAN_GRAD_DEBUG": "", "PYTHONPATH": path})
    assert out.returncode == 0, out.stderr
    parts = out.stdout.split("=== ")[1:]
    return {part.split("\n", 1)[0]: part.split("\n", 1)[1] for part in parts}


class TestBlockwiseDebugLines:
    @pytest.mark.parametrize("name, blockwise", [("n1999", False), ("n2000", True), ("m22", True)])
    def test_dispatch(self, blockwise_output, name, blockwise):
        out = blockwise_output[name]
        assert ("[BLOCKWISE_DEBUG]" in out) == blockwise
        assert ("[Z_BUILD_DEBUG]" in out) == (not blockwise)
        assert ("[PHI_DEBUG]" in out) == (not blockwise)

    @pytest.mark.parametrize("name", ["blockwise", "cholesky", "fallback"])
    def test_lines(self, blockwise_output, name):
        out = blockwise_output[name]
        biggest = float(re.search(r"max-diag (\S+)", out).group(1))
        found = re.findall(r"^\[BLOCKWISE_DEBUG\] Max error in R'R vs X'WX\+λS: (\S+)\n"
                           r"\[BLOCKWISE_DEBUG\] R'R trace: (\S+)\n"
                           r"\[BLOCKWISE_DEBUG\] Expected trace: (\S+)$", out, re.M)
        assert len(found) == 1
        for text in found[0]:
            assert re.fullmatch(r"-?\d\.\d{6}e-?\d+", text)
        error = float(found[0][0])
        if name == "cholesky":
            # the Cholesky factor of the cached matrix carries the ridge,
            # 1e-5 (1 + sqrt(2)) max |X'WX_ii|, below that of the penalized diagonal
            assert 1e-6 * biggest < error < 2.5e-5 * biggest
        else:
            # the block-wise factor (also the fallback when Cholesky fails) carries none
            assert error < 1e-11 * biggest
