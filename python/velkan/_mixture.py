"""The coefficients' covariance with each estimated smoothing parameter integrated out.

The expansion at the optimum (the engine's Vc: Vp + J V_rho J' + V'') fails where REML
makes a term a straight line: the criterion is flat toward infinite smoothing, the fit no
longer moves with rho there, and the wiggly fits the data hardly argue against get no
weight. Here each estimated log smoothing parameter rho_j is integrated over instead, on
the working model of the fit's last pass (its weights held, as in Vp), the other
parameters held at their estimates:

    V_j = sum_g w_g [Vp(rho_g) + (beta(rho_g) - beta^)(beta(rho_g) - beta^)'],

over a grid of rho_j about the estimate, with w_g proportional to exp(-criterion(rho_g))
times a prior flat in the term's edf (the probability a grid cell holds is the edf it
spans: a prior flat in rho would give the long flat tail toward a straight line nearly
all the mass). The intervals are centred at the fit, and the covariance is
Vp + sum_j (V_j - Vp). Only smoothing parameters whose penalty is alone on its
coefficients are integrated: a tensor product's marginals, correlated, keep the expansion
(_inference.integrated_vc).

The grid costs no O(p^3) work per point: with S_j = U D U' (its range) and A = Vp / phi
the fit's penalized Hessian, A(lambda^ + d)^-1 = A^-1 - W diag(d / (1 + d L)) W', where
W = A^-1 U D^1/2 Q and Q L Q' = D^1/2 U'A^-1 U D^1/2. The fit, the criterion and the
term's edf along the grid follow in O(r) per point, r the penalty's rank, and the mixture
is W K W' with K r x r.
"""

from __future__ import annotations

import numpy as np

# The grid in rho_j about the estimate: GRID_HALF_WIDTH each way in steps of GRID_STEP
# (e^12 is past where any term's fit still changes, on either side).
GRID_HALF_WIDTH = 12.0
GRID_STEP = 0.5
# Eigenvalues of a penalty below this fraction of its largest are its null space.
RANK_TOLERANCE = 1e-10
# Multiply-adds beyond which the integration is not made (p r^2 + q^3 per smoothing
# parameter, q its term's width and r its penalty's rank: a random effect of more than
# about 1,700 levels); the expansion about the optimum stands in for it there.
INTEGRATION_WORK = 1e10


def integration_affordable(p: int, penalties: list[tuple[int, np.ndarray]], free: list[bool]) -> bool:
    work = sum(p * b.shape[0] ** 2 + b.shape[0] ** 3 for (_, b), f in zip(penalties, free) if f)
    return work <= INTEGRATION_WORK


def integrated_covariance(vp: np.ndarray, beta: np.ndarray, rho: np.ndarray, scale: float,
                          penalties: list[tuple[int, np.ndarray]], free: list[bool]) -> np.ndarray:
    """Vp + the sum over free smoothing parameters of their integrated increments, in the
    parameterisation of vp and beta; `penalties` are (offset, block) per smoothing
    parameter, in rho's order, and each free one must be the only penalty on its
    coefficients (its log-determinant is then rank x rho)."""
    # In units of the scale (A / phi, whose inverse is Vp, and lambda / phi), so that the
    # products below neither underflow nor overflow with the weights' scale.
    a_inv = 0.5 * (vp + vp.T)
    rho = np.asarray(rho, float) - np.log(max(float(scale), 1e-300))
    out = np.array(vp, dtype=np.float64)
    for j, (offset, block) in enumerate(penalties):
        if free[j]:
            w, k_mat = _increment(a_inv, beta, rho[j], offset, block)
            out += w @ k_mat @ w.T
    return out


def _increment(a_inv, beta, rho_j, offset, block):
    """(W, K): rho_j's integrated increment W K W' over Vp."""
    q = block.shape[0]
    span = slice(offset, offset + q)
    d, v = np.linalg.eigh(0.5 * (block + block.T))
    keep = d > RANK_TOLERANCE * max(d.max(), 0.0)
    d, v = d[keep], v[:, keep]
    if not len(d):
        return np.zeros((len(beta), 0)), np.zeros((0, 0))
    root = np.sqrt(d)
    m = root[:, None] * (v.T @ a_inv[span, span] @ v) * root[None, :]
    eig, qmat = np.linalg.eigh(0.5 * (m + m.T))
    eig = np.clip(eig, 0.0, None)
    w = a_inv[:, span] @ (v * root) @ qmat                       # p x r
    t = qmat.T @ (root * (v.T @ beta[span]))                      # W'b, b = A beta^
    lam = np.exp(rho_j)
    # The term's edf moves by -sum_i c_i u_i, u_i = (W'X'WX)_i restricted to the term.
    xwx_w = (v * root) @ qmat - lam * block @ w[span]
    u = np.einsum("ki,ki->i", w[span], xwx_w)
    grid = rho_j + np.arange(-GRID_HALF_WIDTH, GRID_HALF_WIDTH + 0.5 * GRID_STEP, GRID_STEP)
    # 1 + d L = (1 - lambda^ L) + lambda L, the first part at least 0 (A >= lambda^ S_j).
    base = np.clip(1.0 - lam * eig, 0.0, None)

    def denominators(r):
        return base[None, :] + np.exp(r)[:, None] * eig[None, :]

    def shrink(r):  # c = d / (1 + d L) per grid point and eigen-direction, d = lambda - lambda^
        return (np.exp(r) - lam)[:, None] / denominators(r)

    c = shrink(grid)
    criterion = 0.5 * (c * t ** 2).sum(1) + 0.5 * np.log(denominators(grid)).sum(1) - 0.5 * len(d) * grid
    edges = np.concatenate([[grid[0]], 0.5 * (grid[1:] + grid[:-1]), [grid[-1]]])
    prior = np.abs(np.diff(-(shrink(edges) * u).sum(1)))
    weight = np.exp(-(criterion - criterion.min())) * prior
    if not weight.sum() > 0.0:
        return w, np.zeros((len(eig), len(eig)))
    weight /= weight.sum()
    moves = c * t                                                  # beta(rho_g) - beta^ = -W moves_g
    k_mat = -np.diag(weight @ c) + (moves * weight[:, None]).T @ moves
    return w, k_mat
