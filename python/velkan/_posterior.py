"""The coefficients' covariance made public, the design behind it, and simulation:
coefficients drawn from the approximate posterior, predictions of those draws, responses
drawn from the fitted model, and intervals from draws of any derived quantity.

The posterior is the normal approximation N(beta^, V) with V one of the fit's
covariances (see _inference): "corrected" (Vc, what the intervals use), "bayesian" (Vp)
or "frequentist" (Ve), in the centred parameterisation of ``coef_``. A draw is beta^ + L z
with z standard normal and L L' = V from V's eigendecomposition, which also serves a V
that is only semi-definite (coefficients held at zero have zero variance).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _engine, _inference
from ._fit import Fitted

COVARIANCE_KINDS = ("corrected", "bayesian", "frequentist")


def covariance(fitted: Fitted, kind: str) -> np.ndarray:
    """A copy of the fit's p x p coefficient covariance of the given kind."""
    cov = _inference.covariances(fitted)
    table = {"corrected": cov.vc, "bayesian": cov.vp, "frequentist": cov.ve}
    if kind not in table:
        raise ValueError(f"kind must be one of {', '.join(map(repr, COVARIANCE_KINDS))}, got {kind!r}")
    return np.array(table[kind], dtype=np.float64)


def check_count(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return int(value)


def seed_value(seed: Any) -> int:
    """A 64-bit seed: the given one, or a fresh one from the operating system."""
    if seed is None:
        return int(np.random.default_rng().integers(0, 2 ** 63))
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer or None, got {seed!r}")
    return int(seed) % 2 ** 64


def sample(fitted: Fitted, n_draws: Any, seed: Any, kind: str) -> np.ndarray:
    """(n_draws, p) coefficients drawn from N(beta^, V)."""
    n_draws = check_count(n_draws, "n_draws")
    V = covariance(fitted, kind)
    values, vectors = np.linalg.eigh(0.5 * (V + V.T))
    root = vectors * np.sqrt(np.clip(values, 0.0, None))
    z = np.random.default_rng(None if seed is None else seed_value(seed)).standard_normal((n_draws, V.shape[0]))
    return np.asarray(fitted.beta) + z @ root.T


def predict_draws(fitted: Fitted, M: np.ndarray, offset: np.ndarray | None, draws: Any,
                  type: str) -> np.ndarray:
    """(n_draws, rows) predictions of coefficient draws at rows whose model matrix is M."""
    if type not in ("response", "link"):
        raise ValueError(f"type must be 'response' or 'link', got {type!r}")
    draws = np.asarray(draws, dtype=np.float64)
    if draws.ndim == 1:
        draws = draws[None, :]
    if draws.ndim != 2 or draws.shape[1] != M.shape[1]:
        raise ValueError(f"draws must have one column per coefficient ({M.shape[1]}), got shape {draws.shape}")
    eta = draws @ M.T
    if offset is not None:
        eta += offset
    if type == "link":
        return eta
    return fitted.model.inverse_link(eta.ravel()).reshape(eta.shape)


def draw_scale(fitted: Fitted) -> float:
    """The dispersion responses are drawn at: the fit's (1 where the family fixes it)."""
    if not fitted.scale > 0.0:
        raise ValueError("the fit reproduces its responses exactly (scale 0): there is no "
                         "distribution to draw responses from")
    return float(fitted.scale)


def interval(values: Any, level: float = 0.95) -> np.ndarray:
    """Equal-tailed intervals from draws: the (1 - level) / 2 and (1 + level) / 2 quantiles
    of ``values`` along its first axis (one draw per entry), stacked on a last axis of
    length 2 (lower, upper).

    >>> import numpy as np
    >>> from velkan import interval
    >>> interval(np.arange(1001.0), level=0.9)
    array([ 50., 950.])
    """
    level = _inference.check_level(level)
    values = np.asarray(values, dtype=np.float64)
    if values.ndim == 0 or values.shape[0] < 2:
        raise ValueError("values must hold two or more draws along its first axis")
    lower, upper = np.quantile(values, [(1.0 - level) / 2.0, (1.0 + level) / 2.0], axis=0)
    return np.stack([lower, upper], axis=-1)


def responses(fitted: Fitted, mu: np.ndarray, weights: np.ndarray | None, n: int, seed: int,
              first_row: int, threads: int) -> np.ndarray:
    """(n, rows) responses drawn at means mu (row positions from first_row)."""
    return _engine.draw_responses(fitted.model, mu, weights, draw_scale(fitted), n, seed, first_row,
                                  threads)


def model_matrix(fitted: Fitted, cols: list[np.ndarray], rows: int, threads: int) -> np.ndarray:
    return _engine.model_matrix(fitted.engine_layout(), cols, rows, threads)
