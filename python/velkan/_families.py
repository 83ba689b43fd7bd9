"""Response families as the Python side needs them: names, support checks, links."""

from __future__ import annotations

import numpy as np

FAMILIES = ("gaussian", "binomial", "poisson", "gamma")
# Families whose dispersion is estimated; the others have it fixed at 1.
SCALE_ESTIMATED = ("gaussian", "gamma")

_SUPPORT = {
    "gaussian": "any finite value",
    "binomial": "proportions in [0, 1]",
    "poisson": "non-negative counts",
    "gamma": "positive values",
}


def check_family(family: object) -> str:
    if family not in FAMILIES:
        raise ValueError(f"family must be one of {', '.join(map(repr, FAMILIES))}; got {family!r}")
    return str(family)


def check_support(family: str, y: np.ndarray, first_row: int = 0) -> None:
    """ValueError naming the family and the first response outside its support (`first_row`:
    the position of y's first row in the whole data)."""
    if family == "gaussian":
        return
    if family == "binomial":
        bad = (y < 0.0) | (y > 1.0)
    elif family == "poisson":
        bad = y < 0.0
    else:
        bad = y <= 0.0
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(
            f"y[{first_row + i}] = {y[i]!r} is outside the support of the {family} family "
            f"({_SUPPORT[family]})")


def link(family: str, mu: np.ndarray) -> np.ndarray:
    if family == "gaussian":
        return mu
    if family == "binomial":
        return np.log(mu / (1.0 - mu))
    return np.log(mu)


def inverse_link(family: str, eta: np.ndarray) -> np.ndarray:
    if family == "gaussian":
        return eta
    if family == "binomial":
        e = np.exp(-np.abs(eta))
        return np.where(eta >= 0.0, 1.0 / (1.0 + e), e / (1.0 + e))
    return np.exp(eta)


def starting_level(family: str, y: np.ndarray, w: np.ndarray | None) -> float:
    """A finite linear predictor near the response's mean: the intercept a fit starts from."""
    mean = float(np.average(y, weights=w)) if w is not None and w.sum() > 0 else float(np.mean(y))
    return level_from_mean(family, mean, y.size)


def level_from_mean(family: str, mean: float, rows: int) -> float:
    """`starting_level` from the (weighted) mean response of `rows` rows."""
    if family == "gaussian":
        return mean
    if family == "binomial":
        m = (mean * rows + 0.5) / (rows + 1.0)
        return float(np.log(m / (1.0 - m)))
    if family == "poisson":
        return float(np.log(mean + 0.1))
    return float(np.log(mean))
