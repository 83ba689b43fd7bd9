"""Family parameters estimated by their profile likelihood (the Tweedie power), and the
log-likelihood of families whose density has no closed form.

For a value p of such a parameter the model is fitted with p fixed (`_fit.fit_loop`,
warm-started from the previous fit), and its profile log-likelihood is

    L(p) = max over phi of  sum_i w_i log f(y_i; mu_i, phi, p)

at the fitted means, the scale maximised by Newton's method on log phi from the fit's
estimate (`profile_log_likelihood`: a pass each, the engine's series for the density;
one at large n, where the fit's scale is close). p^ maximises L over the parameter's open
range by successive parabolic interpolation (`maximise`: three fits around the start,
then one at the vertex of the parabola through the three best points until it lands
within PARAMETER_TOLERANCE of one of them): L is smooth and close to a parabola in p, so
that five or six fits do what golden sections and Brent's safeguards took fifteen for. The
95 % interval comes from the curvature of the same parabola. The search fits by
performance iteration (PQL: the means, and so p^, agree with those of a Laplace-REML fit to
well within the interval), and a REML fit is then made once, at p^. Every fit costs its
passes, each warm-started from the last.
"""

from __future__ import annotations

import math
from typing import Any, Callable

import numpy as np

from . import _engine
from ._families import Family
from ._fit import Fitted, PassFn, fit_loop

# Absolute accuracy of an estimated parameter, the margin kept from the ends of its range,
# the largest number of fits of the search, the spacing of its first three fits and the
# farthest it moves from the best point in one step.
PARAMETER_TOLERANCE = 1e-3
RANGE_MARGIN = 0.01
MAX_FITS = 30
FIRST_SPACING = 0.05
LARGEST_MOVE = 0.2
# The search also stops within this fraction of the estimate's standard error (at 10^6 rows
# the Tweedie power's is about 5e-4, below PARAMETER_TOLERANCE).
SE_FRACTION = 0.1
# The same where a final fit is made at the last vertex rather than at a point evaluated
# (once a vertex has been evaluated): parabolic interpolation converges superlinearly, so
# that the last vertex lies much closer to the maximum than to the points it came from.
VERTEX_SE_FRACTION = 0.5
# Newton steps on log(scale) of one profile evaluation. Once a step is below
# SCALE_EXTRAPOLATE the maximum is taken from the quadratic model instead of one more pass:
# its error is of the third order in the step, about 1e-8 of the log-likelihood at 0.01
# (the scale's estimate from the fit is typically within 0.002 of the maximum at 10^5 rows).
SCALE_STEPS = 20
SCALE_EXTRAPOLATE = 1e-2


def profiled(family: Family) -> list[str]:
    """The parameters of `family` left to be estimated by profile likelihood."""
    info = family.info
    return [name for (name, *_), how in zip(info.parameters, info.parameter_estimation)
            if how == "profile" and family.parameters.get(name) is None]


def profile_log_likelihood(fitted: Fitted, run_pass: PassFn, model: Any,
                           start: tuple[float, tuple[float, float, float]] | None = None
                           ) -> tuple[float, float, int]:
    """(L, phi^, passes): the log-likelihood at the fitted means maximised over the scale,
    by Newton's method on log(scale); `start`, (scale, profile sums) from a pass the fit
    made at its coefficients, is the first evaluation without a pass."""
    log_phi = math.log(fitted.scale) if fitted.scale > 0 else 0.0
    layout, passes, best = fitted.engine_layout(), 0, -math.inf
    for _ in range(SCALE_STEPS):
        if start is not None:
            log_phi, (value, d1, d2), start = math.log(start[0]), start[1], None
        else:
            request = _engine.PassRequest(model, profile_scale=math.exp(log_phi))
            value, d1, d2 = run_pass(layout, fitted.beta_raw, False, False, request).profile_sums
            passes += 1
        best = value
        move = -d1 / d2 if d2 < 0 else math.copysign(1.0, d1)
        move = max(-2.0, min(2.0, move))
        log_phi += move
        if abs(move) < SCALE_EXTRAPOLATE:
            best = value - 0.5 * d1 * d1 / d2  # the quadratic model's maximum (d2 < 0 here)
            break
    return best, math.exp(log_phi), passes


def binned_method(family: Family, method: str, binning: Any) -> str | None:
    """The method a binned fit runs, or None when the fit cannot run on binned passes: those
    give the cross products alone, not the sums an estimated family parameter asks each
    pass for (such a fit reads its rows unbinned when binning is "auto", and is refused
    when it is True; a binned fit has no profile log-likelihood). A non-gaussian REML fit runs performance
    iteration there (the Laplace criterion's passes need those sums too)."""
    if profiled(family) or any(v is None for v in family.parameters.values()):
        if binning is True:
            raise ValueError(f"binning=True needs every parameter of the {family.name} family given "
                             "(the binned passes give the cross products alone), got "
                             f"{', '.join(f'{k}={v}' for k, v in family.parameters.items())}")
        return None
    return "PQL" if method == "REML" and not family.model.linear else method


def fit_model(design: Any, run_pass: PassFn, *, family: Family, method: str,
              start_level: float | None, max_iter: int, tol: float, verbose: bool,
              n_features: int, frequency_weights: bool = False, binned: bool = False) -> Fitted:
    """Fits the model, estimating any profile-likelihood parameter of the family."""
    names = profiled(family)
    kwargs = dict(method=method, start_level=start_level, max_iter=max_iter, tol=tol,
                  verbose=verbose, n_features=n_features, frequency_weights=frequency_weights)
    has_profile = "profile" in family.info.parameter_estimation
    if not names:
        fitted = fit_loop(design, run_pass, family=family, **kwargs)
        fitted.__dict__.pop("_response_at_parameters", None)  # the first pass's are at the family's
        if has_profile and not binned:
            start = fitted.__dict__.pop("_profile_start", None)
            fitted.log_likelihood, _, passes = profile_log_likelihood(fitted, run_pass, family.model, start)
            fitted.passes += passes
        return fitted
    if len(names) > 1:
        raise ValueError(f"{type(family).__name__}: estimate one profile parameter at a time")
    return ProfileSearch(design, run_pass, family, names[0], kwargs).run()


class ProfileSearch:
    """Successive parabolic interpolation on L(p) over whole fits."""

    def __init__(self, design: Any, run_pass: PassFn, family: Family, name: str, kwargs: dict) -> None:
        self.design, self.run_pass, self.family, self.name, self.kwargs = design, run_pass, family, name, kwargs
        info = family.info
        self.index = [p[0] for p in info.parameters].index(name)
        _, low, high, _ = info.parameters[self.index]
        self.low, self.high = low + RANGE_MARGIN, high - RANGE_MARGIN
        self.start = info.parameter_starts[self.index]
        self.fits: dict[float, tuple[float, Fitted]] = {}
        self.passes = 0
        self.warm: Fitted | None = None

    def evaluate(self, p: float, method: str = "PQL") -> float:
        """-L(p), fitting at p (warm-started from the last fit)."""
        if p in self.fits and self.fits[p][1].method == method:
            return -self.fits[p][0]
        family = type(self.family)(link=self.family.link, **{**self.family.parameters, self.name: p})
        kwargs = {**self.kwargs, "method": method}
        fitted = fit_loop(self.design, self.run_pass, family=family, warm=self.warm, **kwargs)
        start = fitted.__dict__.pop("_profile_start", None)
        value, _, passes = profile_log_likelihood(fitted, self.run_pass, family.model, start)
        self.passes += fitted.passes + passes
        fitted.log_likelihood = value
        if self.kwargs["verbose"]:
            print(f"{self.name} {p:.6g}: profile log-likelihood {value:.10g} ({method} fit)", flush=True)
        self.fits[p] = (value, fitted)
        self.warm = fitted
        return -value

    def run(self) -> Fitted:
        search = "PQL" if self.kwargs["method"] == "REML" else self.kwargs["method"]
        refit = search != self.kwargs["method"]
        p, vertex = maximise(lambda q: -self.evaluate(q, search), self.low, self.high, self.start,
                             PARAMETER_TOLERANCE, MAX_FITS, VERTEX_SE_FRACTION if refit else SE_FRACTION)
        interval = self.interval(p)
        if refit:
            # The final fit is made at the last parabola's vertex, warm-started from the
            # best fit of the search.
            self.warm = self.fits[p][1]
            p = p if vertex is None else vertex
            self.evaluate(p, self.kwargs["method"])
        value, fitted = self.fits[p]
        fitted.parameter_intervals = {self.name: interval}
        fitted.family_parameters = {**(fitted.family_parameters or {}), self.name: p}
        fitted.passes = self.passes
        if fitted.__dict__.pop("_response_at_parameters", False):
            return fitted  # the fit's last pass gave the response sums at p
        # The response sums at p (the warm starts carried those of the first value).
        sums = self.run_pass(fitted.engine_layout(), fitted.beta_raw, False, False,
                             _engine.PassRequest(fitted.model, response_sums=True))
        for key in ("saturated_sum", "log_normaliser"):
            fitted.response_sums[key] = float(getattr(sums.response, key))
        fitted.passes += 1
        return fitted

    def interval(self, p: float) -> tuple[float, float]:
        """p +- 1.96 / sqrt(-L''), L'' from the parabola through the three best points."""
        points = sorted(self.fits, key=lambda q: -self.fits[q][0])[:3]
        if len(points) < 3:
            return (self.low, self.high)
        x = np.array(points)
        y = np.array([self.fits[q][0] for q in points])
        curvature = 2.0 * np.polyfit(x - p, y, 2)[0]
        if not curvature < 0:
            return (self.low, self.high)
        half = 1.959963984540054 / math.sqrt(-curvature)
        return (max(p - half, self.low - RANGE_MARGIN), min(p + half, self.high + RANGE_MARGIN))


def vertex(points: dict[float, float]) -> tuple[float, float] | None:
    """The maximiser of the parabola through three (x, value) points and its second
    derivative, or None when it is not concave."""
    (a, fa), (b, fb), (c, fc) = points.items()
    num = (b - a) ** 2 * (fb - fc) - (b - c) ** 2 * (fb - fa)
    den = (b - a) * (fb - fc) - (b - c) * (fb - fa)
    curvature = ((fa - fb) / (a - b) - (fb - fc) / (b - c)) / (a - c)
    if not curvature < 0 or den == 0:
        return None
    return b - 0.5 * num / den, 2.0 * curvature


def maximise(f: Callable[[float], float], low: float, high: float, x: float, tol: float,
             max_calls: int, se_fraction: float = SE_FRACTION) -> tuple[float, float | None]:
    """The maximiser of a smooth f on [low, high] by successive parabolic interpolation
    from the interior point x: f at x and x +- FIRST_SPACING, then at the vertex of the
    parabola through the three best points (moved at most LARGEST_MOVE from the best, and
    toward the better side by that much where the parabola is not concave) until the
    vertex lies within tol, or within `se_fraction` of the standard error the parabola's
    curvature gives f as a log-likelihood, of a point already evaluated. Returns the best
    point evaluated and that last vertex (None when the search stopped otherwise): a caller
    that fits once more anyway fits there, a closer estimate for no more fits."""
    seen: dict[float, float] = {}

    def at(q: float) -> None:
        q = min(max(q, low), high)
        if q not in seen:
            seen[q] = f(q)

    for q in (x, x + FIRST_SPACING, x - FIRST_SPACING):
        at(q)
    while len(seen) < max_calls:
        best = max(seen, key=seen.__getitem__)
        three = dict(sorted(sorted(seen.items(), key=lambda kv: -kv[1])[:3]))
        parabola = vertex(three)
        if parabola is None:  # toward the better end of the three, by the largest move
            v, accuracy = best + math.copysign(LARGEST_MOVE, best - sum(three) / 3.0), tol
        else:
            # The first vertex comes from points FIRST_SPACING apart, where the parabola
            # is rough: only later ones are trusted as far as `se_fraction`.
            fraction = se_fraction if len(seen) > 3 else min(se_fraction, SE_FRACTION)
            v, accuracy = parabola[0], min(tol, fraction / math.sqrt(-parabola[1]))
        v = min(max(v, best - LARGEST_MOVE, low), best + LARGEST_MOVE, high)
        if min(abs(v - q) for q in seen) < accuracy:
            return max(seen, key=seen.__getitem__), v if parabola is not None else None
        at(v)
    return max(seen, key=seen.__getitem__), None
