"""The velkan_core module: registration, sub-interpreters, compute_penalty_matrix."""
import numpy as np
import pytest

import velkan_core
from tests.helpers import run_python

REGISTRATION_ORDER = ["GAM", "compute_penalty_matrix", "evaluate_gradient",
                      "reml_gradient_multi_qr_py", "reml_hessian_multi_qr_py", "newton_pirls_py",
                      "ConvergenceWarning"]


class TestRegistration:
    def test_attribute_order(self):
        public = [n for n in vars(velkan_core) if not n.startswith("__")]
        assert public == REGISTRATION_ORDER

    def test_second_sub_interpreter_refused(self):
        code = (
            "try:\n"
            "    import _xxsubinterpreters as interpreters\n"
            "except ImportError:\n"
            "    import _interpreters as interpreters\n"
            "import velkan_core\n"
            "iid = interpreters.create()\n"
            "try:\n"
            "    interpreters.run_string(iid, 'import velkan_core')\n"
            "except Exception as e:\n"
            "    print('refused:', e)\n"
            "else:\n"
            "    print('imported')\n"
            "interpreters.run_string(iid, 'import sys; assert \"velkan_core\" not in sys.modules')\n"
            "interpreters.destroy(iid)\n"
            "print(velkan_core.GAM().get_family())\n")
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        lines = out.stdout.splitlines()
        assert lines[0].startswith("refused:") and "ImportError" in lines[0]
        assert "sub-interpreters" in lines[0]
        assert lines[1] == "gaussian"

    def test_reimport_keeps_old_objects_working(self):
        # A second exec of the module (after removal from sys.modules) must leave the
        # first module's functions and type intact.
        code = (
            "import sys, numpy as np\n"
            "import velkan_core as first\n"
            "g = first.GAM('poisson')\n"
            "del sys.modules['velkan_core']\n"
            "import velkan_core as second\n"
            "assert first is not second and first.GAM is not second.GAM\n"
            "for m in (first, second):\n"
            "    print(m.compute_penalty_matrix('tps', 3, np.zeros(1)).tolist())\n"
            "print(g.get_family(), second.GAM('gamma').get_family())\n")
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == ["[[0.0, 0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 1.0]]"] * 2 + [
            "poisson gamma"]


compute = velkan_core.compute_penalty_matrix


class TestComputePenaltyMatrix:
    def test_documentation(self):
        assert compute.__text_signature__ == "(basis_type, num_basis, knots)"
        assert compute.__doc__ == ("Compute penalty matrix for debugging/comparison\n"
                                   "Returns the raw penalty matrix for a given basis type")

    @pytest.mark.parametrize("name", ["tps", "thin_plate"])
    @pytest.mark.parametrize("knots", [np.zeros(0), np.array([5.0, -1.0, np.nan])])
    def test_fixed_diagonal_whatever_the_knots(self, name, knots):
        s = compute(name, 4, knots)
        assert s.dtype == np.float64 and s.shape == (4, 4) and s.flags.c_contiguous
        np.testing.assert_array_equal(s, np.diag([0.0, 0.0, 1.0, 1.0]))

    def test_keywords(self):
        s = compute(knots=np.zeros(2), num_basis=3, basis_type="tps")
        np.testing.assert_array_equal(s, np.diag([0.0, 0.0, 1.0]))

    def test_each_call_returns_a_new_array(self):
        a = compute("tps", 3, np.zeros(1))
        a[2, 2] = 7.0
        assert compute("tps", 3, np.zeros(1))[2, 2] == 1.0

    @pytest.mark.parametrize("name", ["bs", "CR", "TPS", ""])
    def test_unknown_type(self, name):
        with pytest.raises(ValueError) as info:
            compute(name, 4, np.linspace(0, 1, 4))
        assert info.value.args == (
            f"Failed to compute penalty: Invalid parameter: Unknown basis type: {name}",)

    def test_strided_knots_refused_contiguous_copy_accepted(self):
        knots = np.linspace(0.0, 1.0, 10)[::2]
        with pytest.raises(TypeError) as info:
            compute("cr", 5, knots)
        assert info.value.args == ("The given array is not contiguous",)
        s = compute("cr", 5, np.ascontiguousarray(knots))
        assert s.shape == (5, 5)

    @pytest.mark.parametrize("args, exc, fragment", [
        (("tps", 4, [0.0, 1.0]), TypeError, "knots"),
        (("tps", 4, np.arange(4)), TypeError, "knots"),
        (("tps", 4, np.zeros((2, 2))), TypeError, "knots"),
        (("tps", 4.0, np.zeros(2)), TypeError, "num_basis"),
        (("tps", "4", np.zeros(2)), TypeError, "num_basis"),
        ((b"tps", 4, np.zeros(2)), TypeError, "basis_type"),
        (("tps", -1, np.zeros(2)), OverflowError, ""),
        (("tps", 2**64, np.zeros(2)), OverflowError, ""), (("tps", 4), TypeError, "knots"),
        (("tps", 4, np.zeros(2), 1), TypeError, ""),
    ])
    def test_unconvertible_arguments(self, args, exc, fragment):
        with pytest.raises(exc) as info:
            compute(*args)
        assert type(info.value) is exc
        assert fragment in str(info.value)

    def test_unknown_keyword(self):
        with pytest.raises(TypeError, match="knot"):
            compute("tps", 4, knot=np.zeros(2))

    @pytest.mark.parametrize("k", [10**9, 2**32, 2**64 - 1])
    def test_impossible_size_refused_before_allocating(self, k):
        with pytest.raises(ValueError, match="too large"):
            compute("tps", k, np.zeros(2))
