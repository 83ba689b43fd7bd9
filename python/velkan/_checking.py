"""Checking and comparing fitted models: the basis-size test, concurvity, information
criteria with smoothing-aware degrees of freedom, and the comparison of nested models.

**Basis size.** Whether a smooth's basis was large enough is a question about the span
of its columns, not about its smoothing parameter: if the truth has detail the basis
cannot represent, the residuals keep structure along the term's covariates that no
function of the basis could take up. The test regresses the working residuals t (with
the fit's working weights W) on a richer basis B of the same covariates (each term kind
says what that is: a cubic B-spline basis halves its knot spacing), after removing from B
everything the model's own design X can already represent:

    B_perp = (I - X (X'WX)^+ X'W) B,    u = B_perp' W t,    T = u' (B_perp' W B_perp)^+ u.

Because B_perp is W-orthogonal to every column of X, u does not see the penalized fit's
shrinkage (the smoothing bias lies in X's span) nor the estimation error of the
coefficients: when the truth lies in X's span, u = B_perp' W e for the noise e alone and
T / phi is chi-square with rank(B_perp' W B_perp) degrees of freedom, exactly for normal
errors and as a score test otherwise. Where the scale is estimated the test is an F
statistic whose denominator, (t'Wt - T) / (n - edf - r), leaves out the structure T
found, so that a basis far too small is not excused by the noise estimate it inflates.
Everything comes from one pass that forms the cross products of [X, B_1, B_2, ...] and t
at the fitted coefficients; the study in validation/ calibrates it by simulation.

**Concurvity.** For each term, the share of its functions the other terms (the intercept
included) can reproduce, measured in the fit's weighted metric from the X'WX the fit
keeps: the largest squared canonical correlation between the term's columns and the
others' ("worst", over every function the term could take), the same for the fitted
function ("observed") and the mean over the term's directions ("average"); pairwise, the
worst case against each single other term. All in [0, 1]; no pass over the data.

**Degrees of freedom for comparisons.** The effective degrees of freedom tr(F), F =
(X'WX + S)^-1 X'WX, treat the smoothing parameters as known. AIC and BIC count
tr(F) + tr(J V_rho J' X'WX) / phi instead, the edf of the first-order part of the
expansion for the estimated smoothing parameters (see _inference): the second part is how
far the fitted values also follow the data through them.
`compare` refers the deviance a model gains to the difference of its expected deviance
reduction, 2 edf_c - tr(F F) (for a linear smoother, E[residual sum of squares] =
phi (n - 2 df + tr(F F)) with df the fitted values' total sensitivity to the data), not to
the edf difference alone: with tr(F) an extra pure-noise smooth was declared significant
at 5 % in 8-9 % of 1,000 simulated data sets, with edf_c in 6-6.5 %, with this in 3.5-5 %
(validation/checking_study.py).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

from . import _engine, _inference
from ._inference import corrected_edf
from ._fit import Fitted
from ._training import Rows, as_layout, chunk_sample, join_samples, require_response, sample_rate

# Relative eigenvalue (of a matrix scaled to unit diagonal) below which a direction counts
# as absent: exact dependencies (a smooth's constant against the intercept) sit at
# rounding level, genuine directions of a spline basis many orders above.
RANK_TOLERANCE = 1e-8
# Rows of the data the diagnostic plots draw: a sample of about this many, and its seed.
PLOT_ROWS = 5000
PLOT_SEED = 20261206
# Relative tolerance of the sums by which `compare` recognises models of the same rows.
SAME_ROWS_TOLERANCE = 1e-9


def pinv_sym(a: np.ndarray, tolerance: float = RANK_TOLERANCE) -> tuple[np.ndarray, int]:
    """The pseudo-inverse of a symmetric positive semi-definite matrix and its rank, from the
    eigenvalues of its unit-diagonal scaling (so that the rank test is scale-free)."""
    if a.size == 0:
        return a.copy(), 0
    d = np.sqrt(np.clip(np.diag(a), 0.0, None))
    d[d == 0.0] = 1.0
    values, vectors = np.linalg.eigh(a / np.outer(d, d))
    keep = values > tolerance * max(values.max(), 0.0)
    inv = (vectors[:, keep] / values[keep]) @ vectors[:, keep].T
    return inv / np.outer(d, d), int(keep.sum())


# ---------------------------------------------------------------------- basis size
class BasisCheck(NamedTuple):
    """One smooth's basis-size test: its edf against the most it could have, and whether
    a richer basis of its covariates finds structure left in the residuals."""

    term: str
    edf: float
    max_edf: int
    statistic: float    # chi-square (known scale) or F (estimated scale)
    df: float           # directions the richer basis adds beyond the model
    p_value: float      # small: residual structure remains along the term's covariates


def richer_design(fitted: Fitted) -> tuple[list[Any], list[tuple[int, int, int]]]:
    """The model's term specs followed by a richer basis of each smooth, and per such
    smooth (term index, first raw column of its richer basis, its width)."""
    spec = list(fitted.design.spec)
    blocks = []
    column = fitted.engine_layout().width
    for t, term_spec in enumerate(fitted.design.spec):
        richer = _engine.richer_term(term_spec)
        if richer is None:
            continue
        width = _engine.Layout([richer]).width
        spec.append(richer)
        blocks.append((t, column, width))
        column += width
    return spec, blocks


def chunk_checks(chunk: Any, columns: list[np.ndarray], layout: Any, beta: np.ndarray, model: Any,
                 rate: float, seed: int, threads: int) -> tuple[Any, dict]:
    """One chunk's share of the checking pass: the cross products of the model's design
    and the richer bases with the working residuals at the fitted coefficients, and a
    sample of its rows for the plots."""
    y = require_response(chunk)
    model.check_support(y, chunk.start)
    layout = as_layout(layout)
    sums = _engine.accumulate(layout, columns, y, chunk.weights, chunk.offset, model, beta, False,
                              False, threads)
    return sums, chunk_sample(chunk, columns, layout, beta, rate, seed, threads)


def basis_checks(fitted: Fitted, sums: Any, blocks: list[tuple[int, int, int]]) -> list[BasisCheck]:
    """The test of every smooth from the checking pass's sums (see the module docstring)."""
    layout = fitted.engine_layout()
    p, q = layout.width, layout.coefficients
    Z = np.column_stack([layout.expand(e) for e in np.eye(q)])
    G, g, c = np.asarray(sums.xtwx), np.asarray(sums.xtwt), float(sums.ttwt)
    A_inv, _ = pinv_sym(Z.T @ G[:p, :p] @ Z)
    a = Z.T @ g[:p]
    n, edf = float(sums.rows), float(np.sum(_inference.covariances(fitted).edf))
    term_edf = _inference.term_edf(fitted)
    estimated = fitted.model.info.scale_estimated
    out = []
    for t, first, width in blocks:
        J = slice(first, first + width)
        C = Z.T @ G[:p, J]
        S = G[J, J] - C.T @ A_inv @ C
        u = g[J] - C.T @ A_inv @ a
        S_inv, rank = pinv_sym(0.5 * (S + S.T))
        T = max(float(u @ S_inv @ u), 0.0)
        statistic, p_value = math.nan, math.nan
        if rank > 0 and not estimated:
            statistic, p_value = T, _engine.chi_square_upper(T, rank)
        elif rank > 0 and n - edf - rank > 0 and c - T > 0:
            statistic = (T / rank) / ((c - T) / (n - edf - rank))
            p_value = _engine.f_upper(statistic, rank, n - edf - rank)
        out.append(BasisCheck(fitted.terms[t].label, term_edf[t], layout.coefficient_width(t),
                              statistic, float(rank), p_value))
    return out


@dataclass(frozen=True, eq=False)
class Diagnostics:
    """What `GAM.diagnostics()` reports: the fit's convergence, its smoothing parameters
    with the criterion's gradient there, and per smooth its edf and basis-size test.
    ``str()`` gives a readable report, ``to_frame()`` the smooths' table and ``plot()``
    the residual panels."""

    converged: bool
    n_iter: int
    search_exit: str
    method: str
    score: float
    lambdas: np.ndarray
    gradient: np.ndarray       # of the criterion in log lambda (NaN where lambda was fixed)
    scale: float
    scale_estimated: bool
    terms: tuple[BasisCheck, ...]
    sample: dict = field(repr=False, compare=False, default_factory=dict)
    model: Any = field(repr=False, compare=False, default=None)

    def to_frame(self) -> Any:
        """One row per smooth (edf, max_edf, statistic, df, p_value), indexed by term;
        needs pandas."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("Diagnostics.to_frame needs pandas: pip install pandas") from None
        return pd.DataFrame([t[1:] for t in self.terms], columns=list(BasisCheck._fields[1:]),
                            index=pd.Index([t.term for t in self.terms], name="term"))

    def __str__(self) -> str:
        state = "converged" if self.converged else "did NOT converge"
        lines = [f"Fit {state} after {self.n_iter} penalized IRLS iteration(s); smoothing-parameter "
                 f"search: {self.search_exit or 'n/a'}", f"{self.method} score {self.score:.8g}"]
        if self.lambdas.size:
            lines.append("lambda:   " + np.array2string(self.lambdas, precision=4))
            lines.append("gradient: " + np.array2string(self.gradient, precision=3))
        if self.terms:
            lines += ["", "Basis size (small p: structure left along the term's covariates; try a larger k):"]
            rows = [[t.term, f"{t.edf:.3g}", str(t.max_edf), _fmt(t.statistic), _fmt(t.df, 3),
                     _fmt_p(t.p_value)] for t in self.terms]
            header = ["", "edf", "max edf", "F" if self.scale_estimated else "chi-sq", "df", "p-value"]
            widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
            for r in [header] + rows:
                lines.append("  ".join([r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])]))
        return "\n".join(lines)

    def plot(self, seed: int = 0) -> Any:
        """The four standard residual panels (Q-Q of deviance residuals against quantiles
        simulated from the fitted model with a 95 % band, residuals against the linear
        predictor, their histogram, response against fitted values) of a sample of at
        most about 5,000 rows. Returns the matplotlib figure."""
        from ._plot import diagnostic_panels

        return diagnostic_panels(self.sample, self.model, self.scale, seed)


def _fmt(x: float, digits: int = 4) -> str:
    return "NaN" if math.isnan(x) else f"{x:.{digits}g}"


def _fmt_p(p: float) -> str:
    return "NaN" if math.isnan(p) else ("< 2e-16" if p < 2e-16 else f"{p:.3g}")


def diagnostics(fitted: Fitted, rows: Rows, threads: int, verbose: bool) -> Diagnostics:
    """The report of a fit, from one pass over `rows`."""
    spec, blocks = richer_design(fitted)
    beta = np.concatenate([fitted.beta_raw, np.zeros(_engine.Layout(spec).width - fitted.beta_raw.size)])
    layout = spec if rows.is_dask else _engine.Layout(spec)
    parts = rows.map(chunk_checks, layout, beta, fitted.model, sample_rate(rows.rows, PLOT_ROWS),
                     PLOT_SEED, threads, verbose=verbose, what="model checks")
    sums = parts[0][0]
    for part in parts[1:]:
        sums = sums + part[0]
    sample = join_samples([part[1] for part in parts])
    gradient = np.full(fitted.rho.size, np.nan)
    if fitted.rho_gradient is not None:
        free = np.array([lam is None for lam in fitted.design.lams], dtype=bool)
        gradient[free] = np.asarray(fitted.rho_gradient)[free]
    return Diagnostics(converged=fitted.converged, n_iter=fitted.n_iter, search_exit=fitted.search_exit,
                       method=fitted.method, score=fitted.score, lambdas=np.exp(fitted.rho),
                       gradient=gradient, scale=fitted.scale,
                       scale_estimated=bool(fitted.model.info.scale_estimated),
                       terms=tuple(basis_checks(fitted, sums, blocks)), sample=sample,
                       model=fitted.model)


# ---------------------------------------------------------------------- concurvity
def _reproduced(G: np.ndarray, J: np.ndarray, O: np.ndarray, b: np.ndarray | None) -> tuple[float, float, float]:
    """(worst, average, observed): the shares of the functions of columns J that columns O
    reproduce, in the metric G (observed: of the function with coefficients b)."""
    Gjj, Gjo = G[np.ix_(J, J)], G[np.ix_(J, O)]
    Goo_inv, _ = pinv_sym(G[np.ix_(O, O)])
    C = Gjo @ Goo_inv @ Gjo.T
    d = np.sqrt(np.clip(np.diag(Gjj), 0.0, None))
    d[d == 0.0] = 1.0
    values, vectors = np.linalg.eigh(Gjj / np.outer(d, d))
    keep = values > RANK_TOLERANCE * max(values.max(), 0.0)
    if not keep.any():
        return math.nan, math.nan, math.nan
    root = vectors[:, keep] / np.sqrt(values[keep])           # scaled Gjj^(-1/2) on its range
    shares = np.clip(np.linalg.eigvalsh(root.T @ (C / np.outer(d, d)) @ root), 0.0, 1.0)
    observed = math.nan
    if b is not None:
        total = float(b @ Gjj @ b)
        observed = min(max(float(b @ C @ b) / total, 0.0), 1.0) if total > 0.0 else math.nan
    return float(shares.max()), float(shares.mean()), observed


@dataclass(frozen=True, eq=False)
class Concurvity:
    """How much of each term the other terms can reproduce (0: nothing, 1: all of it).

    ``worst``, ``observed`` and ``average`` hold one value per term (the intercept, which
    always counts among the others, has none); ``pairwise[i, j]`` is the worst case of term
    i against term j alone (with the intercept). ``to_frame()`` and ``str()`` show them."""

    terms: tuple[str, ...]
    worst: np.ndarray
    observed: np.ndarray
    average: np.ndarray
    pairwise: np.ndarray

    def to_frame(self, pairwise: bool = False) -> Any:
        """A pandas DataFrame: rows worst / observed / average, one column per term; or the
        pairwise worst cases (``pairwise=True``)."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("Concurvity.to_frame needs pandas: pip install pandas") from None
        if pairwise:
            return pd.DataFrame(self.pairwise, index=list(self.terms), columns=list(self.terms))
        return pd.DataFrame([self.worst, self.observed, self.average], columns=list(self.terms),
                            index=["worst", "observed", "average"])

    def __str__(self) -> str:
        width = max([len(t) for t in self.terms] + [8])
        lines = ["".ljust(8) + "".join(t.rjust(width + 2) for t in self.terms)]
        for name, values in (("worst", self.worst), ("observed", self.observed), ("average", self.average)):
            lines.append(name.ljust(8) + "".join(_fmt(v, 3).rjust(width + 2) for v in values))
        lines += ["", "pairwise (worst case of the row's term against the column's):"]
        for name, values in zip(self.terms, self.pairwise):
            lines.append(name.ljust(width) + "".join(_fmt(v, 3).rjust(width + 2) for v in values))
        return "\n".join(lines)


def concurvity(fitted: Fitted) -> Concurvity:
    """The concurvity of every term but the intercept (see the module docstring)."""
    layout = fitted.engine_layout()
    G, beta = np.asarray(fitted.xtwx), np.asarray(fitted.beta)
    dropped = set(fitted.undetermined)
    blocks = []
    for t in range(len(fitted.terms)):
        o, q = layout.coefficient_offset(t), layout.coefficient_width(t)
        blocks.append(np.array([i for i in range(o, o + q) if i not in dropped], dtype=int))
    shared = np.concatenate([blocks[t] for t, info in enumerate(fitted.terms) if not info.sources]
                            + [np.zeros(0, dtype=int)])
    terms = [t for t, info in enumerate(fitted.terms) if info.sources]
    if not terms:
        raise ValueError("concurvity needs terms besides the intercept")
    worst, average, observed = np.full(len(terms), np.nan), np.full(len(terms), np.nan), np.full(len(terms), np.nan)
    pairwise = np.full((len(terms), len(terms)), np.nan)
    for a, t in enumerate(terms):
        J = blocks[t]
        others = np.concatenate([blocks[s] for s in range(len(blocks)) if s != t])
        if J.size and others.size:
            worst[a], average[a], observed[a] = _reproduced(G, J, others, beta[J])
        for b, s in enumerate(terms):
            if s != t and J.size and blocks[s].size:
                pairwise[a, b] = _reproduced(G, J, np.concatenate([blocks[s], shared]), None)[0]
    return Concurvity(tuple(fitted.terms[t].short_name for t in terms), worst, observed, average, pairwise)


# ---------------------------------------------------------------------- comparison
def deviance_df(fitted: Fitted) -> float:
    """2 edf_c - tr(F F): the deviance reduction the model's fit is expected to buy, in
    units of the scale (see the module docstring)."""
    cov = _inference.covariances(fitted)
    if not fitted.scale > 0.0:
        return float(np.sum(cov.edf))
    F = cov.vp @ np.asarray(fitted.xtwx) / fitted.scale
    return 2.0 * corrected_edf(fitted) - float(np.sum(F * F.T))


def information_criterion(fitted: Fitted, per_parameter: float | None) -> float:
    """-2 log-likelihood + per_parameter x (corrected edf + 1 for an estimated scale);
    per_parameter None: log(n) (BIC)."""
    ll = _inference.log_likelihood(fitted)
    k = corrected_edf(fitted) + (1.0 if fitted.model.info.scale_estimated else 0.0)
    weight = math.log(fitted.rows) if per_parameter is None else per_parameter
    return -2.0 * ll + weight * k


class ComparisonRow(NamedTuple):
    model: str
    edf: float           # corrected edf
    deviance: float
    df: float            # expected deviance reduction over the previous model (NaN for the first)
    deviance_change: float
    statistic: float     # chi-square (known scale) or F (estimated scale)
    p_value: float


@dataclass(frozen=True)
class Comparison:
    """`velkan.compare`'s table: one row per model, each tested against the one before."""

    rows: tuple[ComparisonRow, ...]
    scale_estimated: bool

    def to_frame(self) -> Any:
        """The table as a pandas DataFrame indexed by model; needs pandas."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("Comparison.to_frame needs pandas: pip install pandas") from None
        return pd.DataFrame([r[1:] for r in self.rows], columns=list(ComparisonRow._fields[1:]),
                            index=pd.Index([r.model for r in self.rows], name="model"))

    def __str__(self) -> str:
        header = ["model", "edf", "deviance", "df", "deviance change",
                  "F" if self.scale_estimated else "chi-sq", "p-value"]
        rows = [[r.model, _fmt(r.edf), _fmt(r.deviance, 6), _fmt(r.df, 3), _fmt(r.deviance_change, 4),
                 _fmt(r.statistic, 4), _fmt_p(r.p_value)] for r in self.rows]
        widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
        return "\n".join("  ".join([r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])])
                         for r in [header] + rows)


def check_comparable(fits: list[Fitted]) -> None:
    """ValueError unless every fit has the same family and the same rows (recognised by
    the number of rows, the weights and the sums of the response of their first pass)."""
    first = fits[0]
    for i, other in enumerate(fits[1:], start=1):
        family = lambda f: (f.family, f.model.link, tuple(f.model.parameters))
        if family(other) != family(first):
            raise ValueError(f"models 0 and {i} have different families ({first.family} with the "
                             f"{first.model.link} link, {other.family} with the {other.model.link} link); "
                             "a likelihood comparison needs the same one")
        if other.rows != first.rows:
            raise ValueError(f"models 0 and {i} were fitted on different rows ({first.rows:.0f} and "
                             f"{other.rows:.0f} rows); compare needs the same rows")
        keys = set(first.response_sums) | set(other.response_sums)
        mine = [first.weight_sum] + [first.response_sums.get(k, math.nan) for k in sorted(keys)]
        theirs = [other.weight_sum] + [other.response_sums.get(k, math.nan) for k in sorted(keys)]
        if not np.allclose(mine, theirs, rtol=SAME_ROWS_TOLERANCE, atol=0.0):
            raise ValueError(f"models 0 and {i} were fitted on different responses or weights (their "
                             "sums differ); compare needs the same rows")


def compare(fits: list[Fitted], labels: list[str]) -> Comparison:
    """Each model against the previous one by an approximate likelihood-ratio test."""
    if len(fits) < 2:
        raise ValueError("compare needs two or more fitted models")
    check_comparable(fits)
    estimated = bool(fits[0].model.info.scale_estimated)
    edfs = [corrected_edf(f) for f in fits]
    dfs = [deviance_df(f) for f in fits]
    rows = [ComparisonRow(labels[0], edfs[0], fits[0].deviance, math.nan, math.nan, math.nan, math.nan)]
    for i in range(1, len(fits)):
        small, big = (i - 1, i) if dfs[i] >= dfs[i - 1] else (i, i - 1)
        df = dfs[big] - dfs[small]
        change = fits[small].deviance - fits[big].deviance
        statistic, p_value = math.nan, math.nan
        if df > 0.0 and fits[big].scale > 0.0:
            scaled = max(change, 0.0) / fits[big].scale
            if estimated:
                statistic = scaled / df
                p_value = _engine.f_upper(statistic, df, max(fits[big].rows - dfs[big], 1.0))
            else:
                statistic, p_value = scaled, _engine.chi_square_upper(scaled, df)
        rows.append(ComparisonRow(labels[i], edfs[i], fits[i].deviance, dfs[i] - dfs[i - 1],
                                  fits[i - 1].deviance - fits[i].deviance, statistic, p_value))
    return Comparison(tuple(rows), estimated)
