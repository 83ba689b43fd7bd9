"""Family parameters estimated by their profile likelihood (the Tweedie power), and the
log-likelihood of families whose density has no closed form.

For a value p of such a parameter the model is fitted with p fixed (`_fit.fit_loop`,
warm-started from the previous fit), and its profile log-likelihood is

    L(p) = max over phi of  sum_i w_i log f(y_i; mu_i, phi, p)

at the fitted means, the scale maximised by Newton's method on log phi from the fit's
estimate (`profile_passes`: one pass each, the engine's series for the density). p^
maximises L over the parameter's open range by Brent's method (golden sections and
parabolic steps), to PARAMETER_TOLERANCE; the 95 % interval comes from the curvature of
the parabola through the three best points. The search fits by performance iteration
(PQL: the means, and so p^, agree with those of a Laplace-REML fit to well within the
interval), and a REML fit is then made once, at p^. Every fit costs its passes: about ten
fits for an estimate, each warm-started from the last.
"""

from __future__ import annotations

import math
from typing import Any, Callable

import numpy as np

from . import _engine
from ._families import Family
from ._fit import Fitted, PassFn, fit_loop

# Absolute accuracy of an estimated parameter, the margin kept from the ends of its range,
# and the largest number of fits of the search.
PARAMETER_TOLERANCE = 1e-3
RANGE_MARGIN = 0.01
MAX_FITS = 30
# Newton steps on log(scale) of one profile evaluation. Once a step is below
# SCALE_EXTRAPOLATE the maximum is taken from the quadratic model instead of one more pass:
# its error is of the third order in the step, about 1e-8 of the log-likelihood at 0.01
# (the scale's estimate from the fit is typically within 0.002 of the maximum at 10^5 rows).
SCALE_STEPS = 20
SCALE_EXTRAPOLATE = 1e-2
GOLDEN = 0.3819660112501051


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
        if has_profile and not binned:
            start = fitted.__dict__.pop("_profile_start", None)
            fitted.log_likelihood, _, passes = profile_log_likelihood(fitted, run_pass, family.model, start)
            fitted.passes += passes
        return fitted
    if len(names) > 1:
        raise ValueError(f"{type(family).__name__}: estimate one profile parameter at a time")
    return ProfileSearch(design, run_pass, family, names[0], kwargs).run()


class ProfileSearch:
    """Brent's method on -L(p) over whole fits."""

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
        value, _, passes = profile_log_likelihood(fitted, self.run_pass, family.model)
        self.passes += fitted.passes + passes
        fitted.log_likelihood = value
        if self.kwargs["verbose"]:
            print(f"{self.name} {p:.6g}: profile log-likelihood {value:.10g} ({method} fit)", flush=True)
        self.fits[p] = (value, fitted)
        self.warm = fitted
        return -value

    def run(self) -> Fitted:
        search = "PQL" if self.kwargs["method"] == "REML" else self.kwargs["method"]
        p = brent(lambda q: self.evaluate(q, search), self.low, self.high, self.start,
                  PARAMETER_TOLERANCE, MAX_FITS)
        interval = self.interval(p)
        if search != self.kwargs["method"]:
            self.warm = self.fits[p][1]
            self.evaluate(p, self.kwargs["method"])
        value, fitted = self.fits[p]
        fitted.parameter_intervals = {self.name: interval}
        fitted.family_parameters = {**(fitted.family_parameters or {}), self.name: p}
        # The response sums at p (the warm starts carried those of the first value).
        sums = self.run_pass(fitted.engine_layout(), fitted.beta_raw, False, False,
                             _engine.PassRequest(fitted.model, response_sums=True))
        for key in ("saturated_sum", "log_normaliser"):
            fitted.response_sums[key] = float(getattr(sums.response, key))
        fitted.passes = self.passes + 1
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


def brent(f: Callable[[float], float], a: float, b: float, x: float, tol: float, max_calls: int) -> float:
    """The minimiser of f on [a, b] by Brent's method (golden sections and parabolic
    steps) from the interior point x, to absolute accuracy about tol."""
    w = v = x
    fx = fw = fv = f(x)
    d = e = 0.0
    for _ in range(max_calls):
        m = 0.5 * (a + b)
        tol1 = tol / 3.0 + 1e-10 * abs(x)
        if abs(x - m) <= 2.0 * tol1 - 0.5 * (b - a):
            break
        parabolic = False
        if abs(e) > tol1:
            r = (x - w) * (fx - fv)
            q = (x - v) * (fx - fw)
            pp = (x - v) * q - (x - w) * r
            q = 2.0 * (q - r)
            if q > 0:
                pp = -pp
            q = abs(q)
            if abs(pp) < abs(0.5 * q * e) and a * q < pp + q * x - q * a and pp < q * (b - x):
                e, d = d, pp / q
                parabolic = True
        if not parabolic:
            e = (a - x) if x >= m else (b - x)
            d = GOLDEN * e
        u = x + (d if abs(d) >= tol1 else math.copysign(tol1, d))
        fu = f(u)
        if fu <= fx:
            if u >= x:
                a = x
            else:
                b = x
            v, fv, w, fw, x, fx = w, fw, x, fx, u, fu
        else:
            if u < x:
                a = u
            else:
                b = u
            if fu <= fw or w == x:
                v, fv, w, fw = w, fw, u, fu
            elif fu <= fv or v in (x, w):
                v, fv = u, fu
    return x

