"""Penalized IRLS over passes that reduce the rows to cross products, and the choice of
the smoothing parameters.

Performance iteration (``method="PQL"``, and GCV / UBRE): each iteration makes one pass
over the rows (working weights and response at the current coefficients, reduced to X'WX
and X'Wt by the engine), then chooses the smoothing parameters on those p x p products
alone (the engine's Newton search, warm-started from the previous iteration), i.e. by the
criterion of the working linear model. A step that raises the penalized deviance is halved
toward the previous coefficients. A family parameter the criterion would estimate (a
negative binomial theta) is moved by a Newton step on its log-likelihood at the current
means after every pass. A model whose working weights do not depend on the coefficients
(normal errors, identity link) needs one pass.

``method="REML"`` for any other model starts there and then optimises the
Laplace-approximate REML criterion directly (`_laplace`).

The loop does not know where the rows come from: it calls `run_pass(layout, beta0,
from_response, column_sums, request=None)`, which returns the pass's sums
(`velkan._engine.PassSums`); sums over separate chunks of rows add up with `+`. `request`
(`velkan._engine.PassRequest`) carries the model to use (its parameters change during a
fit) and what else the pass should gather.
"""

from __future__ import annotations

import functools
import math
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator

import numpy as np

from . import _engine
from ._design import FACTOR_LEVELS_PER_ROW, Design, InputColumn, TermInfo
from ._families import Family, family_from_fit
from ._laplace import InnerFitFailed, LaplaceSearch

# Step halvings tried when a penalized IRLS step raises the penalized deviance.
MAX_HALVINGS = 30
# Newton iterations of one smoothing-parameter search, and its gradient tolerance.
SEARCH_ITERATIONS = 200
SEARCH_TOLERANCE = 1e-6

# Deviance per unit of prior weight below which every row counts as fitted exactly (for a
# family whose table entry has a warning for that, such as perfect separation of binary
# classes).
EXACT_FIT_DEVIANCE = 1e-8
# Residual degrees of freedom below which a fit counts as saturated: it reproduces the data
# and leaves nothing to estimate a scale from (or to check the model with).
SATURATED_RESIDUAL_DF = 0.5

PassFn = Callable[..., Any]

# A step that left the mean's domain is cut to this fraction of the part of it that stays
# inside (rows at the edge itself would have infinite means or weights); a step whose pass
# is finite but raises the penalized deviance, or whose pass could not say how far it may
# go (a binned pass), is halved.
DOMAIN_FRACTION = 0.99


def cut_fraction(sums: Any) -> float:
    """The fraction of a step to try next after the pass `sums` at its end (None: the
    pass was not made)."""
    if sums is not None and not sums.finite and 0.0 < sums.step_reach < 1.0:
        return DOMAIN_FRACTION * sums.step_reach
    return 0.5

# The largest change of log(parameter) in one of performance iteration's parameter steps,
# and its relative change below which the parameter counts as settled.
PARAMETER_STEP = 2.0
PARAMETER_TOLERANCE = 1e-4

# Performance iteration can cycle between fits: a working model that makes a term wiggly,
# whose fit's weights then make it flat, and back (a wide random effect of noise under a
# non-canonical link), in two steps or more. The smoothing parameters' proposed moves (in
# log lambda) then go round: over the last OSCILLATION_WINDOW of them, the net move is less
# than OSCILLATION_NET of their summed lengths (at least OSCILLATION_MOVE a move). Each such
# iteration halves the fraction of the proposal that a move takes, and three proposals the
# same way double it back (up to the whole): the smoothing parameters settle where the
# proposals turn and the coefficients converge there.
OSCILLATION_WINDOW = 4
OSCILLATION_NET = 0.35
OSCILLATION_MOVE = 0.01

# Sums of the response alone that a first pass collects and a fitted model keeps.
RESPONSE_SUMS = ("response_sum", "residual_sum", "residual_square_sum", "saturated_sum",
                 "log_normaliser", "offset_rows")


class ConvergenceWarning(RuntimeWarning):
    """A fit stopped before its convergence criterion was met, or found something the data
    cannot settle (perfect separation, aliased terms, no residual degrees of freedom);
    results are kept."""


class ExtrapolationWarning(UserWarning):
    """Rows of a prediction lie far beyond the training range of a smooth."""


def add_sums(a: Any, b: Any) -> Any:
    """The sums of two passes over different rows (`a` None: the first chunk's)."""
    return b if a is None else a + b


class PassProgress:
    """Reports the passes of a streamed fit when `verbose`: a progress bar over each pass's
    rows (with the bytes read) when tqdm is installed, else one line when a pass ends."""

    def __init__(self, verbose: bool) -> None:
        self.verbose = verbose
        self.passes = 0
        self.bytes = 0          # read by the current pass
        self.total_bytes = 0    # read by every pass

    def read(self, nbytes: int) -> None:
        """Counts bytes the current pass read (its input columns, codes and vectors)."""
        self.bytes += int(nbytes)
        self.total_bytes += int(nbytes)

    def track(self, chunks: Iterable[Any], rows: int | None, what: str,
              columns: int = 0) -> Iterator[Any]:
        """Yields the chunks of one pass (each with `.rows` and the vectors `y`, `weights`,
        `offset`), reporting as they are used; `columns`: float64 columns each chunk reads,
        counted with its vectors when the pass does not count its bytes itself."""
        self.passes += 1
        self.bytes = 0
        if not self.verbose:
            for chunk in chunks:
                yield chunk
                self.count(chunk, columns)
            return
        label = f"pass {self.passes} ({what})"
        bar = _progress_bar(rows, label)
        start, seen = time.perf_counter(), 0
        try:
            for chunk in chunks:
                yield chunk
                self.count(chunk, columns)
                seen += chunk.rows
                if bar is not None:
                    bar.set_postfix_str(f"{format_bytes(self.bytes)} read", refresh=False)
                    bar.update(chunk.rows)
        finally:
            if bar is not None:
                bar.close()
        if bar is None:
            self.report(label, seen, time.perf_counter() - start)

    def count(self, chunk: Any, columns: int) -> None:
        if columns:
            vectors = (getattr(chunk, name, None) for name in ("y", "weights", "offset"))
            self.read(8 * chunk.rows * columns + sum(v.nbytes for v in vectors if v is not None))

    def finished(self, what: str, rows: int | None, seconds: float) -> None:
        """Reports a pass that ran elsewhere (on a cluster) as one line."""
        self.passes += 1
        self.bytes = 0
        if self.verbose:
            self.report(f"pass {self.passes} ({what})", rows, seconds)

    def report(self, label: str, rows: int | None, seconds: float) -> None:
        read = f", {format_bytes(self.bytes)} read" if self.bytes else ""
        print(f"{label}: {rows} rows{read} in {seconds:.3f} s", flush=True)


def format_bytes(nbytes: float) -> str:
    """``812 bytes``, ``3.2 MB``, ``31.7 GB`` (decimal units)."""
    for unit in ("bytes", "kB", "MB", "GB"):
        if nbytes < 1000 or unit == "GB":
            return f"{nbytes:.0f} {unit}" if unit == "bytes" else f"{nbytes:.1f} {unit}"
        nbytes /= 1000
    return ""


def _progress_bar(rows: int | None, label: str) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=rows, desc=label, unit=" rows", unit_scale=True, leave=True)


@dataclass
class Fitted:
    """Everything a fitted model keeps: plain data, enough to rebuild the engine layout."""

    family: str                 # the family's name in the engine's table
    method: str
    design: Design
    column_sums: np.ndarray     # raw design column sums: the centring constraints
    beta_raw: np.ndarray        # coefficients of the raw design (prediction)
    beta: np.ndarray            # coefficients of the centred parameterisation
    rho: np.ndarray             # log smoothing parameters, one per penalty
    scale: float
    xtwx: np.ndarray            # X'WX at the final weights, centred parameterisation
    edf: np.ndarray             # effective degrees of freedom per coefficient
    score: float                # criterion at the optimum
    deviance: float
    pearson: float
    rows: float                 # rows with positive weight
    weight_sum: float
    n_features: int
    converged: bool = True
    n_iter: int = 0
    passes: int = 0
    search_exit: str = ""
    undetermined: list[int] = field(default_factory=list)
    removed_terms: list[int] = field(default_factory=list)  # taken out by select_terms' check
    feature_names: list | None = None
    layout: Any = None          # the engine layout, rebuilt from the design on demand
    ridge: np.ndarray | None = None   # identifiability ridge of the final step (None: none)
    rho_hessian: np.ndarray | None = None  # Hessian of the criterion in rho at the optimum
    rho_gradient: np.ndarray | None = None  # its gradient there
    # Sums of the response alone from the first pass (RESPONSE_SUMS), for the null
    # deviance and the log-likelihood.
    response_sums: dict = field(default_factory=dict)
    inference: Any = field(default=None, repr=False)  # covariances, computed on demand
    link: str | None = None     # the family's link (None: its default)
    binned: bool = False        # fitted on binned covariates
    family_parameters: dict | None = None  # values of the family's parameters, if any
    # Parameters the fit estimated: name -> (lower, upper) of its 95 % interval.
    parameter_intervals: dict | None = None
    # The log-likelihood where the response sums cannot give it (a density without closed
    # form, estimated at its maximum-likelihood scale by profile passes); None otherwise.
    log_likelihood: float | None = None
    # Shape-constrained fits: the basis N of the subspace the active constraints leave
    # (coefficients x its dimension); None when none is active.
    constraint_basis: np.ndarray | None = None

    def engine_layout(self) -> Any:
        if self.layout is None:
            self.layout = _engine.Layout(self.design.spec).centred(self.column_sums)
        return self.layout

    def prediction_layout(self, held: bool = False) -> Any:
        """The layout new rows are predicted with: the fit's, or (`held`) the same with
        every smooth held at its value at the ends of its training range."""
        if not held:
            return self.engine_layout()
        if "_held_layout" not in self.__dict__:  # kept out of the dataclass fields (files, pickles)
            self.__dict__["_held_layout"] = self.engine_layout().held_at_ends()
        return self.__dict__["_held_layout"]

    @functools.cached_property
    def family_object(self) -> Family:
        return family_from_fit(self.family, self.link, self.family_parameters)

    @property
    def model(self) -> Any:
        """The engine's response model of the fit."""
        return self.family_object.model

    @property
    def terms(self) -> list[TermInfo]:
        return self.design.terms

    @property
    def inputs(self) -> list[InputColumn]:
        return self.design.inputs


class PirlsLoop:
    """Penalized IRLS of one model over `run_pass`'s passes: `run` makes the first pass,
    then alternates `search` (smoothing parameters on the current pass's sums) and `advance`
    (a pass at the new coefficients, halved back while it raises the penalized deviance)
    until the penalized deviance settles, and `finish` collects the fitted model."""

    def __init__(self, design: Design, run_pass: PassFn, *, family: Family, method: str,
                 start_level: float | None, max_iter: int, tol: float, verbose: bool,
                 n_features: int, frequency_weights: bool = False,
                 shrink: np.ndarray | None = None, separation: str = "") -> None:
        self.design, self.run_pass, self.family, self.method = design, run_pass, family, method
        self.criterion = "REML" if method == "PQL" else method
        self.model = family.model
        self.max_iter, self.tol, self.verbose, self.n_features = max_iter, tol, verbose, n_features
        # A refit's ridge (constrained coefficients) and what the first fit found that asked for it.
        self.frequency_weights, self.shrink, self.separation = frequency_weights, shrink, separation
        self.layout = _engine.Layout(design.spec)
        n_pen = len(self.layout.penalty_terms)
        self.rho = np.full(n_pen, np.nan)
        self.free = [True] * n_pen
        for i, lam in enumerate(design.lams):
            if lam is not None:
                self.rho[i] = math.log(lam)
                self.free[i] = False
        self.known_scale = math.nan if self.model.info.scale_estimated else 1.0
        self.beta0 = np.zeros(self.layout.width)
        if start_level is not None:
            self.beta0[0] = start_level
        self.beta_start = self.beta0.copy()
        self.beta_prev: np.ndarray | None = None
        self.reach = 1.0  # the fraction of the next step tried first (see `advance`)
        self.dev_prev = math.nan
        self.converged = False
        self.passes = 0
        self.n_iter = 0
        self.started = time.perf_counter()
        # A parameter the criterion estimates: its index, log value and the model at it.
        self.estimated = self.model.criterion_parameter
        self.psi = (math.log(self.model.info.parameter_starts[self.estimated])
                    if self.estimated >= 0 else None)
        self.current = self.model_at(self.psi)
        self.parameter_curvature = math.nan
        self.parameter_settled = False  # once settled, passes stop computing its sums
        self.edge_responses = 0.0  # counted by a first pass
        # Whether the passes after the first are the Laplace search's own (`newton_passes`),
        # and the log parameter the last pass was made at and whether it had those weights.
        self.newton = False
        self.sums_key = (self.psi, False)
        self.removed: list[int] = []  # terms the Laplace search's removal check took out
        # The smoothing parameters' last proposed moves and the fraction of a proposal
        # taken (see OSCILLATION_WINDOW).
        self.rho_moves: list[np.ndarray] = []
        self.damping = self.damping_cap = 1.0

    def model_at(self, psi: float | None) -> Any:
        if psi is None:
            return self.model
        values = list(self.model.parameters)
        values[self.estimated] = math.exp(psi)
        return self.model.with_parameters(values)

    def request(self, **options: Any) -> Any:
        wanted = self.psi is not None and (self.newton or not self.parameter_settled)
        options.setdefault("observed_information", self.newton)
        return _engine.PassRequest(self.current, parameter_sums=wanted, **options)

    def newton_passes(self) -> bool:
        """Whether performance iteration, as the start of a Laplace search, makes its passes
        the search's own: the observed information's weights (where they are positive and
        not the Fisher weights) and the parameter's sums, so that its last pass is the
        search's first instead of being repeated at the same coefficients. Its working model
        then takes Newton's weights, which converge to the same coefficients. Done for the
        families with a parameter (estimated by the criterion, or given to a density the
        profile passes evaluate), where it saves passes (the Tweedie's log link at 10^5
        rows: 12 instead of 14); the gamma's log link, whose Newton weights y / mu move the
        working model's smoothing parameters, spent 12 instead of 9 with them. A fit that
        will not run the search (a ridge refit, extreme weights, a model the search cannot
        hold) keeps the Fisher weights."""
        return (self.method == "REML" and not self.model.linear and self.shrink is None
                and (self.psi is not None or self.profiled_density())
                and self.model.newton_weights_positive and not self.model.newton_is_fisher
                and self.laplace_holds() and not self.extreme_weights())

    def run(self, warm: Fitted | None = None) -> Fitted:
        """Fits the model; `warm`, a fit of the same design (another value of a family
        parameter), gives the centring, the response sums and the start."""
        if warm is None:
            self.first_pass()
        else:
            self.warm_start(warm)
        self.newton = self.newton_passes()
        if warm is not None and self.method == "REML" and not self.model.linear and warm.converged:
            # A converged fit of the same design at a nearby parameter value starts the
            # Laplace search at once: its inner fits converge the coefficients at the new
            # value, which performance iteration would only do on the working model first.
            self.converged = True
            return self.laplace(self.search())
        step = None
        for it in range(self.max_iter):
            self.n_iter = it + 1
            step = self.damped(self.rho.copy(), self.search(final=self.model.linear))
            if self.model.linear:
                self.log(step, step.deviance)
                self.converged = True
                break
            if self.advance(step):
                break
        assert step is not None
        if self.method == "REML" and not self.model.linear:
            return self.laplace(step)
        return self.finish(step)

    def first_pass(self) -> None:
        self.sums = self.run_pass(self.layout, self.beta0, True, True, self.request())
        self.passes = 1
        if not self.sums.finite:
            raise ValueError("the starting linear predictor is not finite; check y, sample_weight and offset")
        self.column_sums = np.asarray(self.sums.column_sums)
        self.edge_responses = float(self.sums.edge_responses)
        self.response_sums = {key: float(getattr(self.sums.response, key)) for key in RESPONSE_SUMS}
        self.layout = self.layout.centred(self.column_sums)

    def warm_start(self, warm: Fitted) -> None:
        self.layout, self.column_sums = warm.engine_layout(), warm.column_sums
        self.response_sums = dict(warm.response_sums)
        self.beta0 = np.array(warm.beta_raw, dtype=float)
        self.rho = np.array(warm.rho, dtype=float)
        self.sums = self.pass_at(self.beta0)
        if not self.sums.finite:
            raise ValueError("the warm start is outside the family's domain")

    def search(self, iterations: int = SEARCH_ITERATIONS, free: list[bool] | None = None,
               final: bool = False) -> Any:
        """The smoothing-parameter search on the current pass's sums (warm-started); the
        `final` one of a fit also removes weak terms under select_terms (`removable`)."""
        step = _engine.fit_step(self.layout, self.sums, self.beta0, self.rho,
                                self.free if free is None else free, self.criterion, self.known_scale,
                                iterations, SEARCH_TOLERANCE, self.shrink, self.frequency_weights,
                                self.removable() if final else None)
        if step.exit == NO_RESIDUAL_DF and self.model.info.scale_estimated:
            raise ValueError(saturated_message(self.design, self.family, self.rows(), float(np.sum(step.edf))))
        self.last_exit, self.search_ok = step.exit, step.converged
        self.rho = step.rho
        self.step = step
        return step

    def damped(self, before: np.ndarray, step: Any) -> Any:
        """The search's step, or once the smoothing parameters go round, the fit at a
        fraction of their proposed move (OSCILLATION_WINDOW)."""
        if self.model.linear or not np.all(np.isfinite(before)):
            return step
        moves = self.rho_moves = (self.rho_moves + [np.asarray(step.rho) - before])[-OSCILLATION_WINDOW:]
        path = sum(float(np.linalg.norm(m)) for m in moves)
        if len(moves) == OSCILLATION_WINDOW and path > OSCILLATION_WINDOW * OSCILLATION_MOVE \
                and float(np.linalg.norm(sum(moves))) < OSCILLATION_NET * path:
            self.damping *= 0.5
            self.damping_cap = 2.0 * self.damping
        elif len(moves) >= 3 and float(moves[-1] @ moves[-2]) > 0 and float(moves[-2] @ moves[-3]) > 0:
            self.damping = min(self.damping_cap, 2.0 * self.damping)
        if self.damping == 1.0:
            return step
        self.rho = before + self.damping * moves[-1]
        return self.search(free=[False] * len(self.free))

    def removable(self) -> list[bool] | None:
        """Per penalty, whether the removal check may take its term out: the free
        penalties of terms fitted with select_terms (None: no such term)."""
        terms = self.layout.penalty_terms
        specs = self.layout.specs
        flags = [bool(specs[t].select) and f for t, f in zip(terms, self.free)]
        return flags if any(flags) else None

    def rows(self) -> float:
        """The n of the criteria: rows with positive weight, or the weights' sum when they
        count rows."""
        return float(self.sums.weight_sum if self.frequency_weights else self.sums.rows)

    def penalized(self, sums: Any, beta: np.ndarray) -> float:
        return self.penalized_at(sums.deviance, beta)

    def penalized_at(self, deviance: float, beta: np.ndarray) -> float:
        """The penalized deviance at raw coefficients `beta` (shrinkage included)."""
        value = deviance + self.layout.penalty_quadratic(beta, np.exp(self.rho))
        if self.shrink is not None:
            value += float(self.shrink @ self.layout.constrain(beta) ** 2)
        return value

    def advance(self, step: Any) -> bool:
        """One pass at the step's coefficients, halved toward the previous ones while that
        raises the penalized deviance; True when the fit has converged or cannot improve.
        A pass that finds the step outside the mean's domain also gives the fraction of it
        that stays inside, and the step is cut to DOMAIN_FRACTION of that fraction at once.
        After such steps, the next is tried first at twice the fraction taken (`reach`)
        rather than whole: a link whose domain the working model's steps keep leaving (the
        inverse Gaussian's 1/mu^2, whose fit lies near the domain's edge) would otherwise
        spend a failed pass on every iteration."""
        beta_new = step.beta_raw
        if self.beta_prev is not None and self.reach < 1.0:
            beta_new = self.beta_prev + self.reach * (np.asarray(beta_new) - self.beta_prev)
        new_sums = self.pass_at(beta_new, self.beta0 if self.beta_prev is None else self.beta_prev)
        pen_new = self.penalized(new_sums, beta_new)
        change = math.inf
        if self.beta_prev is None and not new_sums.finite:
            # The first step left the mean's domain (a link that can leave it): halve it back
            # toward the start, whose constant linear predictor lies inside.
            beta_new, new_sums = self.back_inside(beta_new, new_sums)
        if self.beta_prev is not None:
            pen_old = self.penalized_previous()
            halved = self.halve(beta_new, new_sums, pen_new, pen_old)
            if halved is None:
                # No step toward the new coefficients lowers the penalized deviance: the
                # previous ones stand (their pass is the current expansion point).
                return True
            beta_new, new_sums, pen_new = halved
            # Relative to the deviance, with a floor of a tenth of a row's weight (the
            # deviance scales with the weights, and a fit must not depend on their scale).
            floor = 0.1 * float(new_sums.weight_sum) / max(float(new_sums.rows), 1.0)
            change = abs(pen_new - pen_old) / (floor + abs(pen_new))
        self.log(step, new_sums.deviance)
        self.beta_prev, self.dev_prev = beta_new, new_sums.deviance
        self.sums, self.beta0 = new_sums, beta_new
        if self.psi is not None and not self.parameter_settled and self.move_parameter():
            return False
        if change < self.tol:
            self.converged = True
            return True
        return False

    def move_parameter(self) -> bool:
        """A Newton step on psi = log(parameter) from the last pass's log-likelihood at the
        current means; True when it moved (the next pass uses the new value, and its step
        is not compared with this one, whose deviance was at the old value)."""
        _, l1, l2 = self.sums.parameter_sums
        self.parameter_curvature = -l2
        move = -l1 / l2 if l2 < 0 else math.copysign(PARAMETER_STEP, l1)
        move = max(-PARAMETER_STEP, min(PARAMETER_STEP, move))
        low, high = (math.log(v) if v > 0 else -math.inf
                     for v in self.model.info.parameters[self.estimated][1:3])
        psi = min(max(self.psi + move, low + 1e-8, -30.0), high - 1e-8, 30.0)
        if abs(psi - self.psi) <= PARAMETER_TOLERANCE * max(1.0, abs(psi)):
            self.parameter_settled = True
            return False
        self.psi = psi
        self.current = self.model_at(psi)
        self.beta_prev = None
        return True

    def back_inside(self, beta_new: np.ndarray, sums: Any) -> tuple[np.ndarray, Any]:
        for _ in range(MAX_HALVINGS):
            beta_new = self.beta0 + cut_fraction(sums) * (beta_new - self.beta0)
            sums = self.pass_at(beta_new, self.beta0)
            if sums.finite:
                return beta_new, sums
        raise ValueError("no step from the starting values keeps every mean inside the family's "
                         f"domain ({self.model.info.support}) under the {self.model.link} link")

    def penalized_previous(self) -> float:
        assert self.beta_prev is not None
        return self.penalized_at(self.dev_prev, self.beta_prev)

    def halve(self, beta_new: np.ndarray, new_sums: Any, pen_new: float,
              pen_old: float) -> tuple[np.ndarray, Any, float] | None:
        """Halves the step toward beta_prev until the pass is finite and does not raise the
        penalized deviance; None when MAX_HALVINGS do not get there."""
        halvings, outside, taken = 0, False, 1.0
        while not (new_sums.finite and math.isfinite(pen_new)
                   and pen_new <= pen_old + 1e-7 * abs(pen_old)):
            if halvings == MAX_HALVINGS:
                break
            outside = outside or not new_sums.finite
            cut = cut_fraction(new_sums)
            taken *= cut
            beta_new = self.beta_prev + cut * (beta_new - self.beta_prev)
            new_sums = self.pass_at(beta_new, self.beta_prev)
            pen_new = self.penalized(new_sums, beta_new)
            halvings += 1
        self.reach = min(1.0, 2.0 * self.reach * (taken if outside else 1.0))
        return None if halvings == MAX_HALVINGS else (beta_new, new_sums, pen_new)

    def pass_at(self, beta: np.ndarray, origin: np.ndarray | None = None, **options: Any) -> Any:
        """A pass at `beta`; with `origin`, the coefficients the step to `beta` started
        from, it also gives the step's fraction inside the mean's domain (`step_reach`)."""
        self.passes += 1
        request = self.request(step_origin=origin, **options)
        self.sums_key = (self.psi, request.observed_information)
        return self.run_pass(self.layout, beta, False, False, request)

    def log(self, step: Any, deviance: float) -> None:
        # Performance iteration as the start of a Laplace-REML fit is labelled PQL.
        label = "PQL" if self.method == "REML" and not self.model.linear else self.method
        self.say(self.n_iter, label, step.score, deviance, step.rho)

    def log_laplace(self, point: Any) -> None:
        self.laplace_iterations += 1
        self.say(self.n_iter + self.laplace_iterations, "REML", point.criterion.score,
                 point.sums.deviance, point.rho)

    def say(self, iteration: int, label: str, score: float, deviance: float, rho: np.ndarray) -> None:
        if self.verbose:
            print(f"iteration {iteration}: {label} {score:.8g}  deviance {deviance:.8g}  "
                  f"lambda {np.array2string(np.exp(rho), precision=4)}  "
                  f"{time.perf_counter() - self.started:.3f} s", flush=True)

    def finish(self, step: Any) -> Fitted:
        if not self.model.linear:
            # Coefficients, X'WX and edf at the final expansion point and smoothing parameters.
            exit_, ok = self.last_exit, self.search_ok
            step = self.search(1, [False] * len(self.free), final=True)
            self.last_exit, self.search_ok = exit_, ok
        self.settle(step)
        if self.model.linear:
            # The single pass was made at the starting level: its deviance is the null model's;
            # the fitted model's is the working deviance at the solution (exact here).
            deviance = pearson = float(step.deviance)
        else:
            deviance, pearson = float(self.sums.deviance), float(self.sums.pearson)
        intervals = None
        if self.psi is not None:
            se = 1.0 / math.sqrt(self.parameter_curvature) if self.parameter_curvature > 0 else math.inf
            intervals = {self.parameter_name(): parameter_interval(self.psi, se)}
        return self.fitted(step, beta=step.beta, xtwx=step.xtwx, edf=step.edf, scale=float(step.scale),
                           score=float(step.score), deviance=deviance, pearson=pearson,
                           hessian=step.hessian, intervals=intervals)

    def settle(self, step: Any) -> None:
        """Keeps the final solve for the warnings; refuses a model that fills every row."""
        self.final_step = step
        self.residual_df = self.rows() - float(np.sum(step.edf))
        # The unpenalized directions the data determine fill every row: no smoothing
        # parameter could leave a residual degree of freedom.
        determined = self.layout.null_space_dimension - len(step.undetermined)
        self.structural = determined >= self.rows()
        if self.structural and self.model.info.scale_estimated:
            raise ValueError(saturated_message(self.design, self.family, self.rows(), float(np.sum(step.edf))))

    def parameter_name(self) -> str:
        return self.model.info.parameters[self.estimated][0]

    def fitted(self, step: Any, *, beta: np.ndarray, xtwx: np.ndarray, edf: np.ndarray, scale: float,
               score: float, deviance: float, pearson: float, hessian: np.ndarray,
               intervals: dict | None, beta_raw: np.ndarray | None = None,
               response: Any = None) -> Fitted:
        """The fitted model; `beta_raw`, the coefficients of the last pass, defaults to the
        step's (one update past that pass); `response`, a pass at them with the response
        sums at the estimated parameter, saves the statistics pass."""
        n_pen = len(self.free)
        beta_raw = step.beta_raw if beta_raw is None else beta_raw
        parameters = dict(self.family.parameters) or None
        if parameters is not None and self.psi is not None:
            parameters[self.parameter_name()] = math.exp(self.psi)
            self.statistics_pass(beta_raw, response)
        return Fitted(family=self.family.name, link=self.family.link,
                      family_parameters=parameters, method=self.method,
                      design=self.design, column_sums=self.column_sums, beta_raw=beta_raw,
                      beta=beta, rho=np.asarray(self.rho, dtype=float), scale=scale,
                      xtwx=xtwx, edf=edf, score=score, deviance=deviance,
                      pearson=pearson, rows=self.rows(),
                      weight_sum=float(self.sums.weight_sum), n_features=self.n_features,
                      converged=self.converged and self.search_ok, n_iter=self.n_iter,
                      passes=self.passes, search_exit=self.last_exit,
                      undetermined=list(step.undetermined), layout=self.layout,
                      removed_terms=sorted({*self.removed, *(int(t) for t in step.removed_terms)}),
                      ridge=step.ridge if len(step.ridge) else None,
                      rho_hessian=hessian if hessian.shape == (n_pen, n_pen) and n_pen else None,
                      rho_gradient=step.gradient if step.gradient.shape == (n_pen,) and n_pen else None,
                      response_sums=self.response_sums, parameter_intervals=intervals,
                      constraint_basis=step.constraint_basis if step.constraint_basis.size else None)

    def statistics_pass(self, beta_raw: np.ndarray, sums: Any = None) -> None:
        """The family's response sums at the estimated parameter (the first pass had only
        its start): one more pass, unless `sums` has them."""
        if sums is None:
            self.passes += 1
            sums = self.run_pass(self.layout, beta_raw, False, False, self.request(response_sums=True))
        for key in ("saturated_sum", "log_normaliser"):
            self.response_sums[key] = float(getattr(sums.response, key))

    def exact_fit(self) -> bool:
        """Whether the fit reproduces every response where the family says that means
        coefficients without a finite maximum (perfect separation)."""
        return bool(self.model.info.exact_fit_warning) and \
            float(self.sums.deviance) <= EXACT_FIT_DEVIANCE * float(self.sums.weight_sum)

    def separated(self) -> bool:
        """Whether the fit puts rows on the edge of the family's range where their
        responses lie (classes separated in all or part of the data, a count of zero at a
        mean of zero): their coefficients have no finite maximum. An exact fit does so
        wherever a response lies on the edge."""
        return (self.exact_fit() and self.edge_responses > 0) or float(self.sums.edge_rows) > 0

    def separation_message(self) -> str:
        if self.exact_fit():
            return self.model.info.exact_fit_warning
        info = self.model.info
        return (f"{self.sums.edge_rows:.0f} of {self.sums.rows:.0f} rows are fitted numerically on the edge "
                f"of the {info.name} family's range ({info.support}), as their responses are: those rows "
                "are separated perfectly, and the coefficients have no finite maximum")

    def shrinkage(self) -> np.ndarray:
        """A ridge worth one average row of data on every coefficient but the intercept:
        each coefficient's information at the starting intercept (the diagonal of X'WX in
        the centred parameterisation, every row at the mean response, so that weights and
        repeated rows agree) divided by the rows. One more pass."""
        fisher = self.pass_at(self.beta_start, observed_information=False)
        information = np.diagonal(self.layout.constrain_matrix(fisher.xtwx))
        shrink = np.maximum(information, 0.0) / max(self.rows(), 1.0)
        for t, spec in enumerate(self.design.spec):
            if spec.kind == "intercept":
                o = self.layout.coefficient_offset(t)
                shrink[o:o + self.layout.coefficient_width(t)] = 0.0
        return shrink

    def warn(self, stacklevel: int) -> None:
        step = self.final_step
        if not self.converged:
            warnings.warn(f"penalized IRLS did not converge in {self.max_iter} iterations; the results "
                          "are those of the last iteration", ConvergenceWarning, stacklevel=stacklevel)
        if not self.search_ok:
            warnings.warn(f"the smoothing-parameter search stopped before converging ({self.last_exit})",
                          ConvergenceWarning, stacklevel=stacklevel)
        if self.shrink is not None:
            warnings.warn(f"{self.separation}; the model was refitted with a ridge "
                          "penalty worth one average row of data on every coefficient but the intercept, "
                          "which keeps the coefficients and predictions finite (they still depend on "
                          "that penalty more than on the data)", ConvergenceWarning, stacklevel=stacklevel)
        if self.structural or self.residual_df < SATURATED_RESIDUAL_DF:
            cause = ("its unpenalized coefficients alone fill every row" if self.structural else
                     "the smoothing parameters chosen fit every row; use fewer basis functions (k), or fix lam")
            warnings.warn(f"the model has no residual degrees of freedom ({self.rows() - self.residual_df:.4g} "
                          f"effective degrees of freedom for {self.rows():.4g} rows): it reproduces the data, "
                          f"so its scale, tests and intervals mean little ({cause})", ConvergenceWarning,
                          stacklevel=stacklevel)
        if step.undetermined:
            warnings.warn(f"{len(step.undetermined)} coefficient direction(s) are not determined by "
                          "the data (aliased terms?); they were held near zero", ConvergenceWarning,
                          stacklevel=stacklevel)

    # ------------------------------------------------------------------ Laplace REML
    def laplace(self, step: Any) -> Fitted:
        """From the performance-iteration fit, Newton's method on the Laplace-approximate
        criterion (`_laplace`); then the fitted model at its optimum. A fit that reproduces
        every response (perfectly separated classes) has no curvature left to approximate:
        it keeps the performance-iteration fit, and its warning says why; so does a fit with
        rows on the edge of the family's range (refitted with a ridge by `fit_loop`) and
        that refit, and a model the Laplace search cannot hold (`laplace_holds`)."""
        if self.exact_fit() or self.shrink is not None or self.separated() or self.extreme_weights() \
                or not self.laplace_holds():
            self.method = "PQL"  # what the fit is
            return self.finish(step)
        balanced = np.asarray(step.rho_balanced)
        lower = np.where(self.free, balanced - RHO_BELOW, self.rho)
        upper = np.where(self.free, balanced + RHO_ABOVE, self.rho)
        search = LaplaceSearch(self.layout, self.run_pass, self.model, rho=np.clip(self.rho, lower, upper),
                               free=self.free, psi=self.psi, known_scale=self.known_scale,
                               lower=lower, upper=upper, log=self.log_laplace,
                               profile_scale=self.pearson_scale if self.profiled_density() else None)
        self.laplace_iterations = 0
        # The last pass is the search's first one where its sums are the observed information's
        # (and the parameter's) at the search's start.
        reuse = self.sums.finite and ((self.psi is None and self.model.newton_is_fisher)
                                      or self.sums_key == (self.psi, True))
        try:
            point = search.run(self.beta0, self.sums if reuse else None)
            if (removable := self.removable()) is not None:
                point, self.removed = search.remove_terms(point, removable)
        except InnerFitFailed as e:
            self.passes += search.passes
            warnings.warn(f"the Laplace-approximate REML search failed ({e}); the performance-iteration "
                          "fit is kept", ConvergenceWarning, stacklevel=6)
            self.method = "PQL"
            return self.finish(step)
        self.passes += search.passes
        self.n_iter += self.laplace_iterations
        self.rho, self.psi, self.sums, self.current = point.rho, point.psi, point.sums, point.model
        self.search_ok = search.converged
        self.last_exit = "converged" if search.converged else "Laplace search stopped"
        solve = point.step
        self.settle(solve)
        hessian, intervals = self.split_hessian(point.hessian, point.index)
        crit = point.criterion
        # The coefficients of the point's pass, with which its deviance, Pearson statistic
        # and criterion agree (the inner fit stopped there, its next step negligible).
        fitted = self.fitted(solve, beta=np.asarray(crit.beta), xtwx=solve.xtwx, edf=solve.edf,
                             scale=self.pearson_scale(point), score=float(crit.score),
                             deviance=float(point.sums.deviance), pearson=float(point.sums.pearson),
                             hessian=hessian, intervals=intervals, beta_raw=point.beta_raw,
                             response=point.response)
        # Kept out of the dataclass fields (files, pickles): what the profile passes need.
        if point.profile is not None:
            fitted.__dict__["_profile_start"] = point.profile
        if point.response is not None and self.psi is None:
            for key in ("saturated_sum", "log_normaliser"):
                self.response_sums[key] = float(getattr(point.response.response, key))
            fitted.__dict__["_response_at_parameters"] = True
        return fitted

    def profiled_density(self) -> bool:
        """Whether the family's log-likelihood comes from profile passes (a density
        without closed form) with every parameter given: the fit's last pass can then give
        the density at its scale as well."""
        info = self.model.info
        return "profile" in info.parameter_estimation and all(
            v is not None for v in self.family.parameters.values())

    def laplace_holds(self) -> bool:
        """Whether the Laplace search can fit this model: its sums are dense p x p products
        and it has no active-set programme, so a model with a wide grouped term (whose
        passes are sparse) or a shape constraint keeps performance iteration, reported as
        PQL."""
        return not self.layout.sparse and not any(spec.constraint for spec in self.layout.specs)

    def extreme_weights(self) -> bool:
        """Whether a scale family's prior weights average beyond 2^+-LAPLACE_WEIGHT_EXPONENT:
        the Laplace criterion's sums are not rescaled as the working model's are, so such a
        fit keeps performance iteration, which is invariant to a common scale of the
        weights."""
        mean = float(self.sums.weight_sum) / max(float(self.sums.rows), 1.0)
        return self.model.info.scale_estimated and mean > 0 and \
            abs(math.log2(mean)) > LAPLACE_WEIGHT_EXPONENT

    def pearson_scale(self, point: Any) -> float:
        """The scale a Laplace fit reports: 1 where it is known; else (Pearson statistic +
        beta'S beta) / (n - M), the estimate performance iteration converges to. The
        criterion itself profiles the deviance's scale (the saddlepoint approximation),
        which overstates the scale of skewed responses with many zeros (a Tweedie claim
        size): the Pearson form keeps the covariances calibrated."""
        if not self.model.info.scale_estimated:
            return 1.0
        quad = self.layout.penalty_quadratic(point.beta_raw, np.exp(point.rho))
        dof = self.rows() - self.layout.null_space_dimension
        return (float(point.sums.pearson) + quad) / dof if dof > 0 else float(point.criterion.scale)

    def split_hessian(self, hessian: np.ndarray | None, index: list[int]) -> tuple[np.ndarray, dict | None]:
        """The Hessian over every smoothing parameter as the covariance code takes it (the
        parameter's direction profiled out: the Schur complement, whose inverse is the
        covariance of the log smoothing parameters alone), and the parameter's interval.
        `index` lists the penalties the Hessian covers (others were held at a bound or fixed:
        their rows stay zero)."""
        n_pen = len(self.free)
        full = np.zeros((n_pen, n_pen))
        if hessian is None:
            return full, None
        h = np.asarray(hessian)
        intervals = None
        if self.psi is not None:
            k = len(index)
            hr, hp, hpp = h[:k, :k], h[:k, k], h[k, k]
            try:
                inverse = np.linalg.inv(h)
                se = math.sqrt(inverse[k, k]) if inverse[k, k] > 0 else math.inf
            except np.linalg.LinAlgError:
                se = math.inf
            intervals = {self.parameter_name(): parameter_interval(self.psi, se)}
            h = hr - np.outer(hp, hp) / hpp if hpp > 0 else hr
        full[np.ix_(index, index)] = h
        return full, intervals


# The step exit of a search whose model leaves no residual degrees of freedom.
NO_RESIDUAL_DF = "no residual degrees of freedom"


def saturated_message(design: Design, family: Family, rows: float, edf: float) -> str:
    """Why a model whose scale is estimated cannot be fitted to so few rows, and what to
    do (naming a factor with about one level per row, the usual cause)."""
    message = (f"the model has no residual degrees of freedom: {edf:.4g} effective degrees of "
               f"freedom for {rows:.4g} rows leave nothing to estimate the scale of the {family.name} "
               "family from; use fewer terms or fewer basis functions (k), or more rows")
    crowded = [t for t in design.terms if t.levels is not None and len(t.levels) >= FACTOR_LEVELS_PER_ROW * rows]
    for t in crowded:
        message += (f"; {t.label} has {len(t.levels)} levels for {rows:.4g} rows (for a continuous "
                    f"column use s({', '.join(map(repr, t.sources))}))")
    return message

# Prior weights whose mean lies beyond 2^+-this keep performance iteration (scale families).
LAPLACE_WEIGHT_EXPONENT = 100

# Range of the Laplace search around the balanced smoothing parameters (as the engine's).
RHO_BELOW = 25.0
RHO_ABOVE = 15.0


def parameter_interval(psi: float, se: float) -> tuple[float, float]:
    """The 95 % interval of a parameter from its log's estimate and standard error."""
    half = 1.959963984540054 * se
    # A parameter at the edge of its range (theta of data with no overdispersion) can have
    # a standard error large enough to overflow: the interval is then unbounded there.
    return (math.exp(psi - half) if psi - half > -700.0 else 0.0,
            math.exp(psi + half) if psi + half < 700.0 else math.inf)


def fit_loop(design: Design, run_pass: PassFn, *, family: Family, method: str,
             start_level: float | None, max_iter: int, tol: float, verbose: bool,
             n_features: int, frequency_weights: bool = False, warm: Fitted | None = None) -> Fitted:
    """Fits the model; `start_level` is the intercept to start from (None: no intercept),
    `warm` a fit of the same design to start from instead. A fit that separates the
    classes perfectly, in all the data or a part of it (or reproduces every count of zero),
    is repeated with a small ridge on its coefficients, so that they stay finite."""
    def loop(shrink: np.ndarray | None = None, separation: str = "") -> PirlsLoop:
        return PirlsLoop(design, run_pass, family=family, method=method, start_level=start_level,
                         max_iter=max_iter, tol=tol, verbose=verbose, n_features=n_features,
                         frequency_weights=frequency_weights, shrink=shrink, separation=separation)

    first = loop()
    fitted = first.run(warm)
    final = first
    if first.separated():
        final = loop(first.shrinkage(), first.separation_message())
        fitted = final.run()
    final.warn(stacklevel=5)
    return fitted
