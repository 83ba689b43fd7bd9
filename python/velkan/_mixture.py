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
Vp + sum_j (V_j - Vp).

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
    parameter, in rho's order."""
    # In units of the scale (A / phi, whose inverse is Vp, and lambda / phi), so that the
    # products below neither underflow nor overflow with the weights' scale.
    a_inv = 0.5 * (vp + vp.T)
    rho = np.asarray(rho, float) - np.log(max(float(scale), 1e-300))
    out = np.array(vp, dtype=np.float64)
    shared = _shared_blocks(penalties)
    for j, (offset, block) in enumerate(penalties):
        if not free[j]:
            continue
        others = [(k, penalties[k][1]) for k in shared[j] if k != j]
        w, k_mat = _increment(a_inv, beta, rho, j, offset, block, others)
        out += w @ k_mat @ w.T
    return out


def _shared_blocks(penalties: list[tuple[int, np.ndarray]]) -> list[list[int]]:
    """For each smoothing parameter, those whose penalties cover the same coefficients
    (a tensor product's marginals)."""
    keys = [(offset, block.shape[0]) for offset, block in penalties]
    return [[k for k, other in enumerate(keys) if other == key] for key in keys]


def _increment(a_inv, beta, rho, j, offset, block, others):
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
    # The term's edf moves by -sum_i c_i u_i, u_i = (W'X'WX)_i restricted to the term.
    xwx_w = (v * root) @ qmat - _block_penalty(rho, j, block, others) @ w[span]
    u = np.einsum("ki,ki->i", w[span], xwx_w)
    grid = rho[j] + np.arange(-GRID_HALF_WIDTH, GRID_HALF_WIDTH + 0.5 * GRID_STEP, GRID_STEP)
    lam = np.exp(rho[j])
    # 1 + d L = (1 - lambda^ L) + lambda L, the first part at least 0 (A >= lambda^ S_j).
    base = np.clip(1.0 - lam * eig, 0.0, None)

    def denominators(r):
        return base[None, :] + np.exp(r)[:, None] * eig[None, :]

    def shrink(r):  # c = d / (1 + d L) per grid point and eigen-direction, d = lambda - lambda^
        return (np.exp(r) - lam)[:, None] / denominators(r)

    c = shrink(grid)
    criterion = 0.5 * (c * t ** 2).sum(1) + 0.5 * np.log(denominators(grid)).sum(1) \
        - 0.5 * _log_penalty_det(grid, rho, j, block, others, len(d))
    edges = np.concatenate([[grid[0]], 0.5 * (grid[1:] + grid[:-1]), [grid[-1]]])
    prior = np.abs(np.diff(-(shrink(edges) * u).sum(1)))
    weight = np.exp(-(criterion - criterion.min())) * prior
    if not weight.sum() > 0.0:
        return w, np.zeros((len(eig), len(eig)))
    weight /= weight.sum()
    moves = c * t                                                  # beta(rho_g) - beta^ = -W moves_g
    k_mat = -np.diag(weight @ c) + (moves * weight[:, None]).T @ moves
    return w, k_mat


def _block_penalty(rho, j, block, others):
    """The term's summed penalty at the estimates, over its own coefficients."""
    total = np.exp(rho[j]) * block
    for k, other in others:
        total = total + np.exp(rho[k]) * other
    return total


def _log_penalty_det(grid, rho, j, block, others, rank):
    """log |S|+ of the term's summed penalty as rho_j runs over the grid (the rest of S
    is constant): rank x rho_j for a penalty alone on its coefficients. Shared with others
    (a tensor product's marginals), over the range of the sum C at the estimates (the same
    for every lambda > 0): log|C| + sum_i log(1 + (lambda - lambda^) m_i), m the eigenvalues
    of C^-1/2 S_j C^-1/2 there, from one eigen-decomposition instead of one per point."""
    if not others:
        return rank * grid
    lam = np.exp(rho[j])
    total = _block_penalty(rho, j, block, others)
    e, z = np.linalg.eigh(0.5 * (total + total.T))
    keep = e > RANK_TOLERANCE * e.max()
    e, z = e[keep], z[:, keep] / np.sqrt(e[keep])
    m = np.clip(np.linalg.eigvalsh(z.T @ block @ z), 0.0, None)
    base = np.clip(1.0 - lam * m, 0.0, None)
    return np.sum(np.log(e)) + np.log(base[None, :] + np.exp(grid)[:, None] * m[None, :]).sum(1)
