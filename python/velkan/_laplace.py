"""Laplace-approximate REML for non-gaussian models, optimised directly.

The coordinates x are the free log smoothing parameters and, for a family whose parameter
the criterion estimates (``criterion_parameter``), psi = log(parameter). At each x the
penalized likelihood is maximised to convergence by penalized IRLS with the observed
information (`inner_fit`: a pass per step, warm-started from the last fit moved along
d beta / dx), and the engine's `LaplaceCriterion` gives the criterion there; one more pass,
the derivative pass, gives its exact gradient and Hessian. Newton's method on them (the
Hessian's eigenvalues taken by magnitude and floored, the step capped, halved until the
criterion decreases) moves x.

Passes: each inner fit takes one pass per Newton step of penalized IRLS (one or two from a
warm start: it stops at the iterate whose step promises a negligible decrease), and each
outer iteration one derivative pass more (one for the gradient alone, at about half the
cost, after a step the quadratic model predicted well); the search starts from the
performance-iteration fit (PQL), which is usually close, and from its last pass where that
is the same; a fit adds 1-3 outer iterations and one polishing pass to it, and never more
than `max_iterations` iterations.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from . import _engine

# Newton iterations on the criterion, and penalized IRLS steps of one inner fit.
MAX_ITERATIONS = 40
INNER_STEPS = 60
# Inner fits converge when the Newton step promises a decrease of the penalized log-
# likelihood below INNER_DECREMENT (the criterion is then within about that of its value at
# the exact maximum, far below the DECREASE_TOLERANCE the search stops at), or when a step
# changes the penalized deviance by less than INNER_TOLERANCE (relative).
INNER_DECREMENT = 1e-5
INNER_TOLERANCE = 1e-10
# The fit's end point is polished while its Newton step promises more than this (relative).
FINAL_TOLERANCE = 1e-20
# The search stops when the decrease its Newton step promises is below this (in units of
# the log-likelihood), or every free gradient component is below GRADIENT_TOLERANCE. A
# promised decrease d puts the optimum sqrt(2 d) standard errors of the coordinates away
# (in the metric of the Hessian): 0.045 for 1e-3, well inside the noise of the estimate, so
# one more inner fit (two or three passes) would buy nothing. A step that promised less than
# FINAL_DECREASE (0.32 standard errors) is taken as the last one: Newton's step lands much
# closer than that, and the Hessian of its start serves the covariances, which change by
# far less over such a distance than the rho they describe varies.
DECREASE_TOLERANCE = 1e-3
GRADIENT_TOLERANCE = 1e-6
FINAL_DECREASE = 5e-2
# A step whose decrease the quadratic model predicted to within this fraction lets the next
# point keep the Hessian and compute the gradient alone (0.2: the Tweedie's last step at
# 10^6 rows, predicted 1.11 and found 0.97, then costs a gradient pass instead of a full
# derivative pass; its end point moves 0.1 standard errors of rho against 0.1).
AGREEMENT = 0.2
MAX_STEP = 5.0          # largest change of a coordinate in one step
EIGEN_FLOOR = 1e-7      # Hessian eigenvalues below this fraction of the largest are raised
ARMIJO = 1e-4
HALVINGS = 10
# Range of psi = log(parameter) around its start.
PARAMETER_RANGE = 12.0
INNER_HALVINGS = 30

PassFn = Callable[..., Any]


@dataclass
class Point:
    """The fit at one point of the search."""

    rho: np.ndarray
    psi: float | None
    model: Any              # the engine's response model at psi
    beta_raw: np.ndarray
    sums: Any               # the pass at beta_raw (observed information)
    step: Any               # the engine's solve at rho (ridge, edf, X'WX)
    criterion: Any          # the engine's LaplaceCriterion
    index: list[int]        # the penalties whose log smoothing parameters are coordinates
    gradient: np.ndarray | None = None
    hessian: np.ndarray | None = None
    response: Any = None    # a pass at the point's parameter with the family's response sums
    # (scale, (log density, and its first two derivatives in log scale)) where `sums` also
    # carries the profile density at that scale; None otherwise.
    profile: tuple[float, tuple[float, float, float]] | None = None


class InnerFitFailed(RuntimeError):
    """Penalized IRLS at fixed coordinates found no finite fit."""


class LaplaceSearch:
    """Newton's method on the Laplace-approximate criterion over `run_pass`'s passes."""

    def __init__(self, layout: Any, run_pass: PassFn, model: Any, *, rho: np.ndarray,
                 free: list[bool], psi: float | None, known_scale: float,
                 lower: np.ndarray, upper: np.ndarray, log: Callable[[Point], None],
                 profile_scale: Callable[[Point], float] | None = None) -> None:
        self.layout, self.run_pass, self.base = layout, run_pass, model
        # For a family whose log-likelihood comes from profile passes: the scale at which
        # the polishing pass evaluates the density as well (the fit's estimate at a point).
        self.profile_scale = profile_scale
        self.free = list(free)
        self.index = [j for j, f in enumerate(free) if f]
        self.parameter = psi is not None
        self.known_scale = known_scale
        self.lower, self.upper = np.asarray(lower, float), np.asarray(upper, float)
        self.psi_range = (psi - PARAMETER_RANGE, psi + PARAMETER_RANGE) if psi is not None else None
        self.rho0 = np.asarray(rho, float)
        self.psi0 = psi
        self.log = log
        self.passes = 0
        self.iterations = 0
        self.converged = False

    # ------------------------------------------------------------------ passes
    def model_at(self, psi: float | None) -> Any:
        if psi is None:
            return self.base
        values = list(self.base.parameters)
        values[self.base.criterion_parameter] = math.exp(psi)
        return self.base.with_parameters(values)

    def pass_at(self, beta: np.ndarray, model: Any, derivatives: Any = None,
                response_sums: bool = False, profile_scale: float = 0.0) -> Any:
        self.passes += 1
        request = _engine.PassRequest(model, observed_information=True, response_sums=response_sums,
                                      parameter_sums=self.parameter, derivatives=derivatives,
                                      profile_scale=profile_scale)
        return self.run_pass(self.layout, beta, False, False, request)

    def solve(self, sums: Any, beta: np.ndarray, rho: np.ndarray, removable: list[bool] | None = None) -> Any:
        try:
            return _engine.fit_step(self.layout, sums, beta, rho, [False] * len(rho), "REML",
                                    self.known_scale, 1, 1e-6, removable=removable)
        except ValueError as e:  # no penalized solution at these smoothing parameters
            raise InnerFitFailed(str(e)) from None

    def penalized(self, sums: Any, beta: np.ndarray, rho: np.ndarray) -> float:
        return float(sums.deviance) + self.layout.penalty_quadratic(beta, np.exp(rho))

    # ------------------------------------------------------------------ the inner fit
    def inner_fit(self, rho: np.ndarray, psi: float | None, beta_start: np.ndarray,
                  sums: Any = None) -> Point:
        """Penalized IRLS at fixed (rho, psi) to convergence, from beta_start (whose pass,
        when the caller has it, is `sums`). Newton's method on the penalized deviance
        converges quadratically, so a fit stops at the first iterate whose Newton step
        promises a decrease below the tolerance (`decrement`) instead of making one more
        pass at that step to see it confirmed: the iterate and its pass are consistent, and
        the criterion there is off by about the promised decrease."""
        model = self.model_at(psi)
        beta = beta_start
        if sums is None:
            sums = self.pass_at(beta_start, model)
        if not sums.finite:
            raise InnerFitFailed("the start is outside the family's domain")
        pen = self.penalized(sums, beta, rho)
        step = self.solve(sums, beta, rho)
        for _ in range(INNER_STEPS):
            if self.decrement(sums, beta, step.beta_raw, rho) < self.inner_tolerance(sums, pen):
                break
            new_beta, new_sums, new_pen = self.halve(beta, step.beta_raw, pen, model, rho)
            change = abs(new_pen - pen) / (abs(new_pen) or 1.0)  # invariant to the weights' scale
            beta, sums, pen = new_beta, new_sums, new_pen
            step = self.solve(sums, beta, rho)
            if change < INNER_TOLERANCE:
                break
        criterion = _engine.LaplaceCriterion(self.layout, sums, beta, rho, self.free, self.parameter,
                                             self.known_scale, step.ridge if len(step.ridge) else None)
        return Point(np.array(rho, float), psi, model, beta, sums, step, criterion, list(self.index))

    def decrement(self, sums: Any, beta: np.ndarray, target: np.ndarray, rho: np.ndarray) -> float:
        """The decrease of the penalized deviance that the Newton step beta -> target
        promises: d'(X'WX + S)d, d = target - beta, with the X'WX the step was solved with
        (the observed information where the Newton weights are positive, else the expected)."""
        d = np.asarray(target) - beta
        return float(d @ np.asarray(sums.xtwx) @ d) + self.layout.penalty_quadratic(d, np.exp(rho))

    def inner_tolerance(self, sums: Any, pen: float) -> float:
        """INNER_DECREMENT in units of the log-likelihood of a row of unit weight: the
        penalized deviance is -2 l times the scale (its known value times the mean prior
        weight, or the mean penalized deviance per row), so that a common scale of the
        weights changes nothing."""
        rows = max(float(sums.rows), 1.0)
        scale = self.known_scale * float(sums.weight_sum) / rows if math.isfinite(self.known_scale) \
            else abs(pen) / rows
        return 2.0 * INNER_DECREMENT * scale

    def halve(self, beta: np.ndarray, target: np.ndarray, pen: float, model: Any,
              rho: np.ndarray) -> tuple[np.ndarray, Any, float]:
        """The pass at target, halved toward beta while it is not finite or raises the
        penalized deviance; beta itself (no move) when no halving helps."""
        for _ in range(INNER_HALVINGS):
            sums = self.pass_at(target, model)
            new_pen = self.penalized(sums, target, rho)
            if sums.finite and math.isfinite(new_pen) and new_pen <= pen + 1e-9 * abs(pen):
                return target, sums, new_pen
            target = 0.5 * (beta + target)
        return beta, self.pass_at(beta, model), pen

    # ------------------------------------------------------------------ derivatives and steps
    def differentiate(self, point: Point, previous: Point | None = None) -> None:
        """The criterion's gradient and Hessian at the point (one derivative pass); with
        `previous`, the gradient alone (a pass of half the cost) and previous's Hessian
        over the point's coordinates (a smoothing parameter held at a bound since leaves
        its row). With an estimated family parameter the pass also gives the response
        sums at its value, which a search that ends here would otherwise make a pass for."""
        request = point.criterion.request
        kept = self.kept_rows(point, previous)
        if kept is None:
            sums = self.pass_at(point.beta_raw, point.model, request, response_sums=self.parameter)
            point.gradient, point.hessian = point.criterion.derivatives(sums)
        else:
            assert previous is not None and previous.hessian is not None
            sums = self.pass_at(point.beta_raw, point.model, request.gradient_only(),
                                response_sums=self.parameter)
            point.gradient = point.criterion.gradient(sums)
            point.hessian = np.asarray(previous.hessian)[np.ix_(kept, kept)]
        point.response = sums if self.parameter else None

    def kept_rows(self, point: Point, previous: Point | None) -> list[int] | None:
        """The rows of previous's Hessian that are the point's coordinates, or None when
        there is no previous Hessian to keep or the point has a coordinate it lacks."""
        if previous is None or previous.hessian is None or not set(point.index) <= set(previous.index):
            return None
        rows = [previous.index.index(j) for j in point.index]
        return rows + ([len(previous.index)] if self.parameter else [])

    def predicted(self, point: Point, new: Point) -> bool:
        """Whether the quadratic model at `point` predicted the decrease to `new` to within
        AGREEMENT: its Hessian then serves at `new` too (where the search is close to the
        optimum, and a Newton step's accuracy depends on the gradient far more than on the
        Hessian), and only the gradient is computed there."""
        dx = self.coordinates_of(new.rho, new.psi, point.index) - self.coordinates(point)
        model = -float(point.gradient @ dx + 0.5 * dx @ point.hessian @ dx)
        actual = point.criterion.score - new.criterion.score
        return model > 0 and abs(actual - model) <= AGREEMENT * model

    def coordinates(self, point: Point) -> np.ndarray:
        return self.coordinates_of(point.rho, point.psi, point.index)

    def coordinates_of(self, rho: np.ndarray, psi: float | None, index: list[int]) -> np.ndarray:
        return np.array([rho[j] for j in index] + ([psi] if self.parameter else []), float)

    def bounds(self, index: list[int]) -> tuple[np.ndarray, np.ndarray]:
        lo = [self.lower[j] for j in index] + ([self.psi_range[0]] if self.parameter else [])
        hi = [self.upper[j] for j in index] + ([self.psi_range[1]] if self.parameter else [])
        return np.array(lo, float), np.array(hi, float)

    def direction(self, point: Point) -> tuple[np.ndarray, float]:
        """The Newton step over the coordinates not held at a bound, and the decrease the
        quadratic model promises."""
        g, h = point.gradient, point.hessian
        x = self.coordinates(point)
        lo, hi = self.bounds(point.index)
        active = [a for a in range(len(x)) if not ((x[a] <= lo[a] and g[a] > 0) or (x[a] >= hi[a] and g[a] < 0))]
        step = np.zeros(len(x))
        if not active:
            return step, 0.0
        values, vectors = np.linalg.eigh(h[np.ix_(active, active)])
        floor = max(np.abs(values).max() * EIGEN_FLOOR, 1e-12)
        inverse = (vectors / np.maximum(np.abs(values), floor)) @ vectors.T
        step[active] = -inverse @ g[active]
        largest = np.abs(step).max()
        if largest > MAX_STEP:
            step *= MAX_STEP / largest
        return step, -0.5 * float(g @ step)

    def move(self, point: Point, step: np.ndarray, alpha: float) -> tuple[np.ndarray, float | None]:
        lo, hi = self.bounds(point.index)
        x = np.clip(self.coordinates(point) + alpha * step, lo, hi)
        rho = point.rho.copy()
        rho[point.index] = x[:len(point.index)]
        return rho, (float(x[-1]) if self.parameter else None)

    def trial(self, point: Point, step: np.ndarray) -> Point | None:
        """The step, halved until the criterion decreases enough (Armijo); None when no
        step lowers it."""
        alpha = 1.0
        for _ in range(HALVINGS):
            rho, psi = self.move(point, step, alpha)
            dx = self.coordinates_of(rho, psi, point.index) - self.coordinates(point)
            start = point.beta_raw + np.asarray(point.criterion.dbeta_raw) @ dx
            try:
                new = self.inner_fit(rho, psi, start)
            except InnerFitFailed:
                new = None
            if new is not None and new.criterion.defined and \
                    new.criterion.score <= point.criterion.score + ARMIJO * float(point.gradient @ dx):
                return new
            alpha *= 0.5
        return None

    # ------------------------------------------------------------------ the search
    def run(self, beta_raw: np.ndarray, sums: Any = None) -> Point:
        """The search from beta_raw, its end point's inner fit polished; `sums`, when given,
        is the observed-information pass there at the starting model (a caller's last pass,
        where it is the same)."""
        return self.polish(self.search(beta_raw, sums))

    def polish(self, point: Point) -> Point:
        """The end point with its inner fit carried to full accuracy: one pass at its Newton
        step unless that step is already negligible (FINAL_TOLERANCE). The fit reports these
        coefficients, which must agree between equivalent data (weights as repeated rows) far
        more closely than the search needs; the derivatives are kept. With an estimated
        family parameter, that pass also gives the response sums at its value, which the
        fit would otherwise make a pass for; for a family whose log-likelihood comes from
        profile passes, it gives the density at the point's scale, the profile's first, and
        the response sums at the family's parameters."""
        pen = self.penalized(point.sums, point.beta_raw, point.rho)
        if self.decrement(point.sums, point.beta_raw, point.step.beta_raw, point.rho) <= \
                FINAL_TOLERANCE * abs(pen):
            return point
        target = np.asarray(point.step.beta_raw)
        scale = self.profile_scale(point) if self.profile_scale is not None else 0.0
        if not (math.isfinite(scale) and scale > 0.0):
            scale = 0.0
        response = self.parameter or self.profile_scale is not None
        sums = self.pass_at(target, point.model, response_sums=response, profile_scale=scale)
        try:
            new = self.inner_fit(point.rho, point.psi, target, sums)
        except InnerFitFailed:
            return point
        if not new.criterion.defined:
            return point
        new.gradient, new.hessian, new.index = point.gradient, point.hessian, point.index
        new.response = sums if response and new.sums is sums else None
        if scale > 0.0 and new.sums is sums:
            new.profile = (scale, tuple(float(v) for v in sums.profile_sums))
        return new

    def remove_terms(self, point: Point, removable: list[bool]) -> tuple[Point, list[int]]:
        """The removal check of select_terms (the engine's `removable`) at the search's end
        point: the terms the working model of its last pass (a quadratic expansion of the
        log-likelihood there, observed information) would remove, the other smoothing
        parameters held, are confirmed on the Laplace criterion itself by an inner fit
        without them (1-3 passes, and a polishing pass): they go when it rises by less
        than the number of their smoothing parameters. A fit that removes nothing costs no
        pass. Returns the end point (the inner fit without them, or `point`) and the terms
        removed."""
        step = self.solve(point.sums, point.beta_raw, point.rho, removable)
        gone = [int(t) for t in step.removed_terms]
        if not gone:
            return point, []
        rho = np.asarray(step.rho, float)
        moved = [j for j in range(len(rho)) if rho[j] != point.rho[j]]
        try:
            new = self.inner_fit(rho, point.psi, np.asarray(step.beta_raw))
        except InnerFitFailed:
            return point, []
        if not new.criterion.defined or new.criterion.score - point.criterion.score >= len(moved):
            return point, []
        kept = [a for a, j in enumerate(point.index) if j not in moved]
        rows = kept + ([len(point.index)] if self.parameter else [])
        new.index = [point.index[a] for a in kept]
        if point.hessian is not None:
            new.gradient = np.asarray(point.gradient)[rows]
            new.hessian = np.asarray(point.hessian)[np.ix_(rows, rows)]
        for j in moved:
            self.free[j] = False
        self.index = list(new.index)
        return self.polish(new), gone

    def search(self, beta_raw: np.ndarray, sums: Any) -> Point:
        point = self.inner_fit(self.rho0, self.psi0, beta_raw, sums)
        if not point.criterion.defined:
            raise InnerFitFailed("the Laplace-approximate criterion is undefined at the start")
        if not self.index and not self.parameter:
            self.converged = True
            return point
        previous: Point | None = None  # whose Hessian this point may take over
        for it in range(MAX_ITERATIONS):
            self.iterations = it + 1
            self.differentiate(point, previous)
            step, promised = self.direction(point)
            if previous is not None and promised >= FINAL_DECREASE:
                # Too far from the optimum to step on a borrowed Hessian.
                self.differentiate(point)
                step, promised = self.direction(point)
            self.log(point)
            if promised < DECREASE_TOLERANCE or np.abs(point.gradient).max() < GRADIENT_TOLERANCE:
                self.converged = True
                return point
            self.hold_at_bounds(point)
            new = self.trial(point, step)
            if new is None:
                # No step lowers the criterion: it is flat here to within its accuracy.
                self.converged = promised < FINAL_DECREASE
                return point
            if promised < FINAL_DECREASE:
                new.gradient, new.hessian, new.index = point.gradient, point.hessian, point.index
                self.converged = True
                return new
            previous = point if self.predicted(point, new) else None
            point = new
        self.differentiate(point)
        return point

    def hold_at_bounds(self, point: Point) -> None:
        """Smoothing parameters at a bound of the range with the gradient pushing outward
        stay there: later derivative passes leave them out (each coordinate costs about a
        pass's cross product)."""
        x, (lo, hi), g = self.coordinates(point), self.bounds(point.index), point.gradient
        held = [j for a, j in enumerate(point.index)
                if (x[a] <= lo[a] and g[a] > 0) or (x[a] >= hi[a] and g[a] < 0)]
        for j in held:
            self.free[j] = False
        self.index = [j for j in self.index if j not in held]
