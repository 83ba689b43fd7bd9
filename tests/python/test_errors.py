"""Error values, their renderings and their translation into Python exceptions."""
import re

import pytest

import _velkan_testing as t


class TestGamErrorRenderings:
    @pytest.mark.parametrize("kind, payload, display, debug", [
        (0, "X has 100 rows but y has 99 elements",
         "Matrix dimension mismatch: X has 100 rows but y has 99 elements",
         'DimensionMismatch("X has 100 rows but y has 99 elements")'),
        (1, "no progress", "Optimization failed: no progress", 'OptimizationFailed("no progress")'),
        (2, "", "Singular matrix encountered", "SingularMatrix"),
        (3, "Unknown basis type: bs", "Invalid parameter: Unknown basis type: bs",
         'InvalidParameter("Unknown basis type: bs")'),
        (4, "QR decomposition failed: Lapack(LapackComputationalFailure { return_code: 2 })",
         "Linear algebra error: QR decomposition failed: "
         "Lapack(LapackComputationalFailure { return_code: 2 })",
         'LinAlgError("QR decomposition failed: '
         'Lapack(LapackComputationalFailure { return_code: 2 })")'),
        (5, "GCV with 2 smooths", "Not implemented: GCV with 2 smooths",
         'NotImplemented("GCV with 2 smooths")'),
        # An empty payload still gets its separator.
        (3, "", "Invalid parameter: ", 'InvalidParameter("")'),
        (0, "", "Matrix dimension mismatch: ", 'DimensionMismatch("")'),
        # Nested context: the payload is inserted verbatim, prefixes accumulate.
        (1, "Invalid parameter: Need at least 2 knots for penalty matrix",
         "Optimization failed: Invalid parameter: Need at least 2 knots for penalty matrix",
         'OptimizationFailed("Invalid parameter: Need at least 2 knots for penalty matrix")'),
        # Debug quoting escapes what would break the quotes; display stays verbatim.
        (3, 'say "hi"\\ok', 'Invalid parameter: say "hi"\\ok',
         'InvalidParameter("say \\"hi\\"\\\\ok")'),
        (4, "a\nb\tc\x01", "Linear algebra error: a\nb\tc\x01",
         'LinAlgError("a\\nb\\tc\\u{1}")'),
    ])
    def test_table(self, kind, payload, display, debug):
        assert t.gam_error_render(kind, payload) == (display, debug)

    def test_singular_matrix_ignores_payload(self):
        assert t.gam_error_render(2, "ignored") == ("Singular matrix encountered", "SingularMatrix")


class TestLinalgFailureRendering:
    @pytest.mark.parametrize("args, text", [
        (("info", 2), "Lapack(LapackComputationalFailure { return_code: 2 })"),
        (("info", -4), "Lapack(LapackInvalidValue { return_code: -4 })"),
        (("invalid_shape",), "Lapack(InvalidShape)"),
        (("not_square", 2, 3), "NotSquare { rows: 2, cols: 3 }"),
    ])
    def test_debug(self, args, text):
        assert t.linalg_failure_debug(*args) == text


class TestTranslation:
    @pytest.mark.parametrize("kind, payload, prefix, message", [
        (0, "X has 100 rows but y has 99 elements", "",
         "Matrix dimension mismatch: X has 100 rows but y has 99 elements"),
        (2, "", "", "Singular matrix encountered"),
        (3, "Unknown basis type: bs", "Failed to compute penalty: ",
         "Failed to compute penalty: Invalid parameter: Unknown basis type: bs"),
        (0, "Number of penalties (2) must match log_lambda (1)",
         "Newton-PIRLS optimization failed: ",
         "Newton-PIRLS optimization failed: Matrix dimension mismatch: "
         "Number of penalties (2) must match log_lambda (1)"),
        (3, "nul\x00inside", "", "Invalid parameter: nul\x00inside"),
    ])
    def test_gam_error_becomes_value_error(self, kind, payload, prefix, message):
        with pytest.raises(ValueError) as info:
            t.raise_gam_error(kind, payload, prefix)
        assert type(info.value) is ValueError
        assert info.value.args == (message,)

    def test_usage_error_has_no_variant_prefix(self):
        with pytest.raises(ValueError) as info:
            t.raise_usage_error("method must be 'GCV' or 'REML'")
        assert info.value.args == ("method must be 'GCV' or 'REML'",)

    @pytest.mark.parametrize("what, exc, message", [
        ("bad_alloc", ValueError, "Not enough memory for this request"),
        ("runtime_error", RuntimeError, "Internal error: boom"),
        ("int", RuntimeError, "Internal error"),
        ("null", RuntimeError, "Internal error: a call failed without a reason"),
        ("value_and_error", ValueError, "pending"),
    ])
    def test_cpp_failures_never_reach_the_interpreter(self, what, exc, message):
        with pytest.raises(exc, match=f"^{re.escape(message)}$"):
            t.guarded_throw(what)

    def test_guarded_success(self):
        assert t.guarded_throw("none") is None


class TestBorrowFlag:
    @pytest.mark.parametrize("outer, inner, conflict", [
        ("shared", "shared", None), ("shared", "exclusive", "Already borrowed"),
        ("exclusive", "exclusive", "Already borrowed"),
        ("exclusive", "shared", "Already mutably borrowed"),
    ])
    def test_nested_access(self, outer, inner, conflict):
        # The flag is free again once the guards are gone, also after a refused guard.
        assert t.borrow_nested(outer, inner) == (conflict, True)
