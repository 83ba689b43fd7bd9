"""Simulated additive models with known truth, shared by the benchmarks and the example job.

Each case draws inputs uniformly on [0, 1] with a fixed seed; the linear predictor is a
sum of fixed smooth functions of the columns (one of them, when there are four or more,
identically zero), mapped to the response scale through the family's link.
"""
import numpy as np

# Smooth component functions on [0, 1], each roughly centred.
COMPONENTS = [
    lambda x: 2.0 * np.sin(np.pi * x) - 4.0 / np.pi,
    lambda x: np.exp(2.0 * x) - (np.exp(2.0) - 1.0) / 2.0,
    lambda x: 0.2 * x**11 * (10.0 * (1.0 - x)) ** 6 + 10.0 * (10.0 * x) ** 3 * (1.0 - x) ** 10 - 2.0,
    lambda x: 0.0 * x,
    lambda x: np.cos(2.0 * np.pi * x),
]


def linear_predictor(x, family):
    eta = sum(COMPONENTS[j % len(COMPONENTS)](x[:, j]) for j in range(x.shape[1]))
    if family == "gaussian":
        return eta + 5.0
    if family == "gamma":
        # Inverse link: keep eta positive and away from zero.
        return 0.5 + 0.05 * eta
    # Keep means in a comfortable range for the count and binary families.
    return 0.3 * eta + (0.5 if family == "poisson" else 0.0)


def mean_from_eta(eta, family):
    if family == "gaussian":
        return eta
    if family == "poisson":
        return np.exp(eta)
    if family == "binomial":
        return 1.0 / (1.0 + np.exp(-eta))
    if family == "gamma":
        return 1.0 / eta
    raise ValueError(family)


def simulate(n, d, family="gaussian", seed=0, noise_sd=1.0):
    """Returns (x, y, mu) with x of shape (n, d), y the observed response, mu its mean."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 1.0, size=(n, d))
    mu = mean_from_eta(linear_predictor(x, family), family)
    if family == "gaussian":
        y = mu + noise_sd * rng.standard_normal(n)
    elif family == "poisson":
        y = rng.poisson(mu).astype(float)
    elif family == "binomial":
        y = (rng.uniform(size=n) < mu).astype(float)
    elif family == "gamma":
        shape = 10.0
        y = rng.gamma(shape, mu / shape)
    else:
        raise ValueError(family)
    return x, y, mu


def true_mean(x, family):
    return mean_from_eta(linear_predictor(x, family), family)
