import numpy as np
import pytest

import _velkan_testing as vt
from tests.helpers import run_python
from tests.reml.derivative_problems import cr_penalty


def sqrt_of(s):
    return vt.reml_penalty_sqrt(np.asarray(s, dtype=float))


class TestSquareRoot:
    @pytest.mark.parametrize("scale", [1.0, 1e-3, 1e6])
    def test_cr_penalty_has_two_null_directions(self, scale):
        s = cr_penalty(np.linspace(0.0, 3.0, 10)) * scale
        l = sqrt_of(s)
        assert l.shape == (10, 8)
        np.testing.assert_allclose(l @ l.T, s, atol=1e-12 * np.abs(s).max())
        # columns are sqrt(e_c) v_c in ascending eigenvalue order
        norms = np.sum(l * l, axis=0)
        assert np.all(np.diff(norms) > 0)
        np.testing.assert_allclose(norms, np.linalg.eigvalsh(s)[2:], rtol=1e-10)

    @pytest.mark.parametrize("diagonal, kept", [
        # largest eigenvalue 0.5: the absolute floor 1e-10 applies, so 7e-11 is dropped
        ([0.5, 7e-11, 0.0], [True, False, False]),
        # relative threshold 1e-4 of the largest eigenvalue 1e6
        ([1e6, 5e-5, 2e-4], [True, False, True]), ([0.0, 0.0, 0.0], [False, False, False]),
    ])
    def test_threshold(self, diagonal, kept):
        l = sqrt_of(np.diag(diagonal))
        assert l.shape == (3, sum(kept))
        np.testing.assert_allclose(np.sort(np.sum(l * l, axis=0)),
                                   np.sort(np.asarray(diagonal)[kept]), rtol=1e-12)

    def test_only_the_upper_triangle_is_read(self):
        s = np.array([[2.0, 1.0], [-50.0, 2.0]])
        l = sqrt_of(s)
        np.testing.assert_allclose(l @ l.T, [[2.0, 1.0], [1.0, 2.0]], atol=1e-14)

    def test_empty_penalty(self):
        assert sqrt_of(np.zeros((0, 0))).shape == (0, 0)

    @pytest.mark.parametrize("s, message", [
        (np.ones((2, 3)), "Invalid parameter: Penalty matrix must be square"),
        (np.array([[1.0, np.nan], [np.nan, 1.0]]), "Invalid parameter: Penalty matrix has non-finite entries"),
        (np.array([[np.inf, 0.0], [0.0, 1.0]]), "Invalid parameter: Penalty matrix has non-finite entries"),
    ])
    def test_rejected(self, s, message):
        with pytest.raises(ValueError) as e:
            vt.reml_penalty_sqrt(s)
        assert str(e.value) == message


DEBUG_CODE = """
import numpy as np, _velkan_testing as vt
vt.reml_penalty_sqrt(np.diag([0.0, 4.0, 9.0]))
vt.reml_penalty_sqrt(np.zeros((2, 2)))
vt.reml_penalty_sqrt(np.diag(np.arange(1.0, 9.0)))
"""


class TestDebugLines:
    @pytest.mark.parametrize("value", ["", "1"])
    def test_lines(self, value):
        out = run_python(DEBUG_CODE, env_extra={"VELKAN_GRAD_DEBUG": value})
        assert out.returncode == 0, out.stderr
        lines = out.stdout.splitlines()
        assert lines[:7] == [
            "[PENALTY_SQRT_DEBUG] Matrix size: 3×3",
            "[PENALTY_SQRT_DEBUG] Max eigenvalue: 9.000000e0",
            "[PENALTY_SQRT_DEBUG] Threshold: 9.000000e-10",
            "[PENALTY_SQRT_DEBUG] Positive eigenvalues found: 2",
            "[PENALTY_SQRT_DEBUG] Eigenvalues: [4, 9]",
            "[PENALTY_SQRT_DEBUG] Output L matrix shape: 3×2",
            "[PENALTY_SQRT_DEBUG] Reconstruction error ||L·L' - S||_∞ = 0.000000e0",
        ]
        # an all-zero penalty: the first four lines only, with threshold 1e-10
        assert lines[7:11] == [
            "[PENALTY_SQRT_DEBUG] Matrix size: 2×2",
            "[PENALTY_SQRT_DEBUG] Max eigenvalue: 0.000000e0",
            "[PENALTY_SQRT_DEBUG] Threshold: 1.000000e-10",
            "[PENALTY_SQRT_DEBUG] Positive eigenvalues found: 0",
        ]
        # at most five eigenvalues listed
        assert lines[11:16] == [
            "[PENALTY_SQRT_DEBUG] Matrix size: 8×8",
            "[PENALTY_SQRT_DEBUG] Max eigenvalue: 8.000000e0",
            "[PENALTY_SQRT_DEBUG] Threshold: 8.000000e-10",
            "[PENALTY_SQRT_DEBUG] Positive eigenvalues found: 8",
            "[PENALTY_SQRT_DEBUG] Eigenvalues: [1, 2, 3, 4, 5]",
        ]
        assert lines[16] == "[PENALTY_SQRT_DEBUG] Output L matrix shape: 8×8"
        assert lines[17].startswith("[PENALTY_SQRT_DEBUG] Reconstruction error ||L·L' - S||_∞ = ")
        assert len(lines) == 18

    def test_silent_when_unset(self):
        out = run_python(DEBUG_CODE, unset=["VELKAN_GRAD_DEBUG"])
        assert out.returncode == 0, out.stderr
        assert out.stdout == ""
