import numpy as np
import pytest

import _velkan_testing as vt


def penalty_roots(rng, p, ranks):
    """Square roots L_j (p x r_j) of random penalties."""
    return [rng.normal(size=(p, r)) for r in ranks]


def expected_gram(x, w, lambdas, roots):
    e = x.T @ (w[:, None] * x)
    for lam, l in zip(lambdas, roots):
        e = e + lam * l @ l.T
    return e


class TestAccumulation:
    @pytest.mark.parametrize("n, p, ranks", [
        (2500, 12, []),        # three blocks: 1000, 1000, 500; the first factored alone
        (2500, 12, [4, 7]),    # penalty rows first, then three updates
        (1000, 12, []),        # exactly one block
        (1000, 12, [3]),
        (0, 6, [2, 3]),        # no data: the penalty rows alone
        (5, 12, []),           # first block shorter than p
        (1001, 8, [0, 5]),     # a square root without columns, and a one-row last block
    ])
    def test_gram_matches_normal_matrix(self, rng, n, p, ranks):
        x = rng.normal(size=(n, p))
        w = rng.uniform(0.1, 3.0, n)
        roots = penalty_roots(rng, p, ranks)
        lambdas = list(rng.uniform(0.5, 5.0, len(ranks)))
        r = vt.reml_compute_r_blockwise(x, w, lambdas, roots)
        assert r.shape == (p, p)
        assert np.all(np.tril(r, -1) == 0.0)
        e = expected_gram(x, w, lambdas, roots)
        np.testing.assert_allclose(r.T @ r, e, rtol=0, atol=1e-12 * np.abs(e).max())
        if n + sum(ranks) < p:
            assert np.all(r[n + sum(ranks):] == 0.0)

    def test_strided_inputs(self, rng):
        big = rng.normal(size=(3000, 10))
        x = big[::2, ::-2]  # 1500 x 5, strided both ways, one stride negative
        w = rng.uniform(0.5, 2.0, 3000)[::2]
        roots = penalty_roots(rng, 5, [2])
        r = vt.reml_compute_r_blockwise(x, w, [1.5], roots)
        e = expected_gram(x, w, [1.5], roots)
        np.testing.assert_allclose(r.T @ r, e, atol=1e-12 * np.abs(e).max())


class TestFailures:
    @pytest.mark.parametrize("roots", [[], [np.zeros((4, 0))]])
    def test_no_blocks(self, roots):
        with pytest.raises(ValueError) as e:
            vt.reml_compute_r_blockwise(np.zeros((0, 4)), np.zeros(0), [1.0] * len(roots), roots)
        assert str(e.value) == "Invalid parameter: No blocks processed"

    @pytest.mark.parametrize("w_len, root_rows", [(9, 4), (10, 3)])
    def test_shapes_checked(self, rng, w_len, root_rows):
        with pytest.raises(ValueError, match="Matrix dimension mismatch"):
            vt.reml_compute_r_blockwise(rng.normal(size=(10, 4)), np.ones(w_len), [1.0],
                                        [np.ones((root_rows, 2))])
