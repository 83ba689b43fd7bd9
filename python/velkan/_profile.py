"""Family parameters estimated by their profile likelihood (the Tweedie power), and the
log-likelihood of families whose density has no closed form.

For a value p of such a parameter the model is fitted with p fixed (`_fit.fit_loop`,
warm-started from the previous fit), and its profile log-likelihood is

    L(p) = max over phi of  sum_i w_i log f(y_i; mu_i, phi, p)

at the fitted means, the scale maximised by Newton's method on log phi from the fit's
estimate (`profile_log_likelihood`: a pass each, the engine's series for the density;
one at large n, where the fit's scale is close). p^ maximises L over the parameter's open
range by Newton's method over fits (`newton_search`), with L' and L'' at each fit from
central differences of the log-likelihood at its means, at p +- DIFFERENCE_STEP: two
profile passes instead of two more fits. Holding the means leaves out only their own
change with p, which moves L' at the second order (they maximise the penalized likelihood
at p, so that the difference is exactly the derivative of its profile), and L'' at fixed
means agreed with the curvature of L through whole fits to 2 % on simulated data. The
first fit, and any after a step of more than ROUGH_STEP standard errors, is made by
performance iteration, the others, each warm-started from the last, by the fit's method (a
Laplace-REML fit warm-started from a converged one goes straight to its search); from the
start 1.5 to a power near it the first Newton step usually lands within a tenth of a
standard error, so that the search ends at its second fit, which is the fit returned. The
95 % interval comes from the last curvature.
"""

from __future__ import annotations

import math
from typing import Any, Callable


from . import _engine
from ._families import Family
from ._fit import Fitted, PassFn, fit_loop

# Absolute accuracy of an estimated parameter, the margin kept from the ends of its range,
# the largest number of fits of the search and the farthest it moves in one step.
PARAMETER_TOLERANCE = 1e-3
RANGE_MARGIN = 0.01
MAX_FITS = 30
LARGEST_MOVE = 0.2
# The search also stops within this fraction of the estimate's standard error (at 10^6 rows
# the Tweedie power's is about 5e-4, below PARAMETER_TOLERANCE).
SE_FRACTION = 0.1
# A step longer than this many standard errors of the parameter leaves the search far
# enough from the maximum that its next fit is made by performance iteration.
ROUGH_STEP = 3.0
# The half-width of the central differences of L in p at fixed means: their error in L'
# is h^2 L''' / 6, about 1e-5 of p at 10^6 rows (0.02 standard errors); the scale at p +- h
# then lies within 0.01 of its value at p in log, so that each side costs one pass.
DIFFERENCE_STEP = 5e-3
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
                           start: tuple[float, tuple[float, float, float]] | None = None,
                           scale: float | None = None) -> tuple[float, float, int]:
    """(L, phi^, passes): the log-likelihood at the fitted means maximised over the scale,
    by Newton's method on log(scale) from `scale` (None: the fit's); `start`, (scale,
    profile sums) from a pass the fit made at its coefficients, is the first evaluation
    without a pass. `model` may hold other parameter values than the fit's."""
    scale = fitted.scale if scale is None else scale
    log_phi = math.log(scale) if scale > 0 else 0.0
    layout, passes, best = fitted.engine_layout(), 0, -math.inf
    for _ in range(SCALE_STEPS):
        if start is not None:
            log_phi, (value, d1, d2), start = math.log(start[0]), start[1], None
        else:
            # The density alone: the cross products, most of a pass, are not read.
            request = _engine.PassRequest(model, profile_scale=math.exp(log_phi), cross_products=False)
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
    """Newton's method on L(p) over whole fits: at each fit, L'(p) by central differences
    of the log-likelihood at the fit's means (`local`); its curvature there, and from the
    second fit on the secant of L' between the last two fits."""

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

    def family_at(self, p: float) -> Family:
        return type(self.family)(link=self.family.link, **{**self.family.parameters, self.name: p})

    def evaluate(self, p: float, method: str = "PQL") -> tuple[float, float]:
        """(L(p), phi^): a fit at p (warm-started from the last fit) and its profile."""
        family = self.family_at(p)
        kwargs = {**self.kwargs, "method": method}
        fitted = fit_loop(self.design, self.run_pass, family=family, warm=self.warm, **kwargs)
        start = fitted.__dict__.pop("_profile_start", None)
        value, scale, passes = profile_log_likelihood(fitted, self.run_pass, family.model, start)
        self.passes += fitted.passes + passes
        fitted.log_likelihood = value
        if self.kwargs["verbose"]:
            print(f"{self.name} {p:.6g}: profile log-likelihood {value:.10g} ({method} fit)", flush=True)
        self.fits[p] = (value, fitted)
        self.warm = fitted
        return value, scale

    def local(self, p: float, method: str) -> tuple[float, float, float]:
        """(L(p), L'(p), L''(p)): a fit at p, and the derivatives from the log-likelihood
        at its means at p +- h, each maximised over the scale (one pass each, from the
        scale at p)."""
        value, scale = self.evaluate(p, method)
        fitted = self.fits[p][1]
        h = min(DIFFERENCE_STEP, p - self.low + RANGE_MARGIN, self.high + RANGE_MARGIN - p)
        sides = []
        for q in (p - h, p + h):
            side, _, passes = profile_log_likelihood(fitted, self.run_pass, self.family_at(q).model, scale=scale)
            self.passes += passes
            sides.append(side)
        return value, (sides[1] - sides[0]) / (2 * h), (sides[1] - 2 * value + sides[0]) / (h * h)

    def run(self) -> Fitted:
        method = self.kwargs["method"]
        # Fits far from the maximum (the first, from cold, and any after a long step) by
        # performance iteration (REML's own start); the others, each warm-started from the
        # last, by the fit's method.
        rough = "PQL" if method == "REML" else method
        final, curvature = newton_search(lambda q, far: self.local(q, rough if far else method),
                                         self.low, self.high, self.start, PARAMETER_TOLERANCE, MAX_FITS)
        interval = profile_interval(final, curvature, self.low, self.high)
        value, fitted = self.fits[final]
        fitted.parameter_intervals = {self.name: interval}
        fitted.family_parameters = {**(fitted.family_parameters or {}), self.name: final}
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


def profile_interval(p: float, curvature: float, low: float, high: float) -> tuple[float, float]:
    """p +- 1.96 / sqrt(-L''), within the parameter's range."""
    if not curvature < 0:
        return (low - RANGE_MARGIN, high + RANGE_MARGIN)
    half = 1.959963984540054 / math.sqrt(-curvature)
    return (max(p - half, low - RANGE_MARGIN), min(p + half, high + RANGE_MARGIN))


def newton_search(local: Callable[[float, bool], tuple[float, float, float]], low: float, high: float,
                  x: float, tol: float, max_calls: int) -> tuple[float, float]:
    """The maximiser of a smooth f on [low, high] by Newton's method from x, where
    local(q, rough) = (f(q), f'(q), f''(q)), the last two possibly approximate: each step at
    most LARGEST_MOVE, and that far uphill where f is not concave. At x, and after a step
    of more than ROUGH_STEP standard errors (f'' gives f as a log-likelihood), f may be a
    cheaper approximation (`rough`: a performance-iteration fit before the final method's).
    It stops at the first point that is not rough and from which the step is below tol or
    SE_FRACTION of the standard error. Returns that point and its curvature."""
    q, rough = min(max(x, low), high), True
    curvature = math.nan
    for _ in range(max_calls):
        _, slope, curvature = local(q, rough)
        se = 1.0 / math.sqrt(-curvature) if curvature < 0 else math.inf
        if curvature < 0:
            step, accuracy = -slope / curvature, min(tol, SE_FRACTION * se)
        else:
            step, accuracy = math.copysign(LARGEST_MOVE, slope), tol
        target = min(max(q + max(-LARGEST_MOVE, min(LARGEST_MOVE, step)), low), high)
        if not rough and abs(target - q) < accuracy:
            break
        q, rough = target, abs(target - q) > ROUGH_STEP * se
    return q, curvature
