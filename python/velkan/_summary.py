"""The model summary: term tests, parametric coefficients and model statistics, as data
first (named tuples, a pandas DataFrame on request) and as a text table second.

Smooth and tensor terms are tested for "the term is zero" by a Wald statistic on the
term's fitted values with a pseudo-inverse of rank set by its effective degrees of
freedom (the method is written down in the engine's term_test.h). Parametric
coefficients get the usual Wald statistic estimate / standard error, referred to the
normal distribution when the scale is known and to Student's t with the residual degrees
of freedom when it is estimated. Every standard error comes from the Bayesian covariance
with the smoothing-parameter correction (Vc, see _inference). Coefficients the data do not determine (aliased columns, held at zero by the fit)
have NaN standard error, statistic and p-value.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from . import _engine, _inference
from ._fit import Fitted


# Widest term given a Wald test (wider ones, random effects of many levels, get NaN).
MAX_TESTED_WIDTH = 500


class TermTest(NamedTuple):
    """One smooth or tensor term's test."""

    term: str
    edf: float
    ref_df: float
    statistic: float    # chi-square (known scale) or F (estimated scale)
    p_value: float


class Coefficient(NamedTuple):
    """One parametric coefficient's Wald test."""

    name: str
    estimate: float
    std_error: float
    statistic: float    # z (known scale) or t (estimated scale)
    p_value: float


class VarianceComponent(NamedTuple):
    """One random effect's standard deviation, sqrt(scale / lambda), with its interval."""

    term: str
    std_dev: float
    lower: float
    upper: float


@dataclass(frozen=True)
class Summary:
    """What a fitted GAM says about its terms; ``str()`` gives a readable table."""

    family: str
    link: str
    method: str
    terms: tuple[TermTest, ...]
    coefficients: tuple[Coefficient, ...]
    n: int
    scale: float
    scale_estimated: bool
    edf: float
    edf_corrected: float    # with the smoothing parameters' uncertainty: what AIC counts
    residual_df: float
    deviance: float
    null_deviance: float
    deviance_explained: float
    log_likelihood: float
    aic: float
    reml: float             # REML score at the optimum (NaN for GCV / UBRE fits)
    score: float            # the fit's criterion at the optimum, whichever it is
    converged: bool
    # The family's parameters: name -> (value, lower, upper), the 95 % interval of an
    # estimated one (NaN bounds for a given one).
    parameters: dict = field(default_factory=dict)
    variance_components: tuple[VarianceComponent, ...] = ()

    def to_frame(self, which: str = "terms"):
        """The term tests (``which="terms"``) or the coefficients (``"coefficients"``) as
        a pandas DataFrame indexed by name; needs pandas."""
        if which not in ("terms", "coefficients"):
            raise ValueError(f"which must be 'terms' or 'coefficients', got {which!r}")
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("Summary.to_frame needs pandas: pip install pandas") from None
        rows = self.terms if which == "terms" else self.coefficients
        fields = (TermTest if which == "terms" else Coefficient)._fields
        frame = pd.DataFrame([r[1:] for r in rows], columns=list(fields[1:]),
                             index=pd.Index([r[0] for r in rows], name=fields[0]))
        return frame

    def __str__(self) -> str:
        lines = [f"GAM  family: {self.family}  link: {self.link}  method: {self.method}", ""]
        stat = "t" if self.scale_estimated else "z"
        if self.coefficients:
            lines.append("Parametric coefficients:")
            lines += _table(["", "estimate", "std. error", f"{stat} value", "p-value"],
                            [[c.name, _num(c.estimate), _num(c.std_error), _num(c.statistic, 3),
                              _pvalue(c.p_value)] for c in self.coefficients])
            lines.append("")
        if self.terms:
            lines.append("Smooth terms:")
            lines += _table(["", "edf", "ref. df", "F" if self.scale_estimated else "chi-sq", "p-value"],
                            [[t.term, _num(t.edf, 3), _num(t.ref_df, 3), _num(t.statistic, 3),
                              _pvalue(t.p_value)] for t in self.terms])
            lines.append("")
        if self.variance_components:
            lines.append("Random effects (standard deviations, 95 % intervals):")
            lines += _table(["", "std. dev.", "lower", "upper"],
                            [[v.term, _num(v.std_dev), _num(v.lower), _num(v.upper)]
                             for v in self.variance_components])
            lines.append("")
        lines.append(f"n = {self.n}   edf = {_num(self.edf, 4)} (corrected {_num(self.edf_corrected, 4)})   "
                     f"residual df = {_num(self.residual_df, 5)}   "
                     f"scale = {_num(self.scale)}{' (estimated)' if self.scale_estimated else ''}")
        explained = "n/a" if math.isnan(self.deviance_explained) else f"{100 * self.deviance_explained:.3g} %"
        lines.append(f"deviance explained = {explained}   log-likelihood = {_num(self.log_likelihood, 6)}   "
                     f"AIC = {_num(self.aic, 6)}   {self.method} = {_num(self.score, 6)}")
        for name, (value, lower, upper) in self.parameters.items():
            how = "given" if math.isnan(lower) else f"estimated, 95 % interval {_num(lower)} to {_num(upper)}"
            lines.append(f"{name} = {_num(value)} ({how})")
        if not self.converged:
            lines.append("warning: the fit did not converge; the figures are those of its last iteration")
        return "\n".join(lines)


def _num(x: float, digits: int = 4) -> str:
    if isinstance(x, float) and math.isnan(x):
        return "NaN"
    return f"{x:.{digits}g}"


def _pvalue(p: float) -> str:
    if math.isnan(p):
        return "NaN"
    return "< 2e-16" if p < 2e-16 else f"{p:.3g}"


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    fmt = lambda r: "  ".join([r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])])
    return [fmt(header)] + [fmt(r) for r in rows]


def summarize(fitted: Fitted) -> Summary:
    cov = _inference.covariances(fitted)
    stats = _inference.model_statistics(fitted)
    layout = fitted.engine_layout()
    estimated = fitted.model.info.scale_estimated
    # Reference degrees of freedom of t and F: NaN (normal, chi-square) for a known scale.
    rdf = max(stats.residual_df, 1.0) if estimated else math.nan
    exact = not fitted.scale > 0.0  # an exact fit: zero errors, nothing to test
    undetermined = set(fitted.undetermined)
    term_edf = _inference.term_edf(fitted)

    tests: list[TermTest] = []
    coefficients: list[Coefficient] = []
    for t, info in enumerate(fitted.terms):
        o, q = layout.coefficient_offset(t), layout.coefficient_width(t)
        beta = fitted.beta[o:o + q]
        if info.penalties:
            if exact:
                tests.append(TermTest(info.label, term_edf[t], math.nan, math.nan, math.nan))
                continue
            if q > MAX_TESTED_WIDTH:
                # A random effect of many levels: its eigen-decompositions would cost O(q^3);
                # its variance component is what the summary reports of it.
                tests.append(TermTest(info.label, term_edf[t], math.nan, math.nan, math.nan))
                continue
            vc = np.ascontiguousarray(cov.vc_tests[o:o + q, o:o + q])
            g = np.ascontiguousarray(fitted.xtwx[o:o + q, o:o + q])
            statistic, ref_df, _rank, p = _engine.smooth_term_test(beta, vc, g, term_edf[t], rdf)
            tests.append(TermTest(info.label, term_edf[t], ref_df, statistic, p))
            continue
        names = ([f"{info.label}[{level}]" for level in info.levels[1:]] if info.levels is not None
                 else [info.label])
        for j, name in enumerate(names):
            i = o + j
            se = math.sqrt(max(cov.vc[i, i], 0.0))
            if i in undetermined or exact:
                coefficients.append(Coefficient(name, float(beta[j]), math.nan if not exact else 0.0,
                                                math.nan, math.nan))
                continue
            z = float(beta[j]) / se
            coefficients.append(Coefficient(name, float(beta[j]), se, z, _engine.wald_p_value(z, rdf)))

    return Summary(family=fitted.family, link=fitted.model.link, method=fitted.method,
                   terms=tuple(tests), coefficients=tuple(coefficients), n=int(round(fitted.rows)),
                   scale=fitted.scale, scale_estimated=estimated, edf=stats.total_edf,
                   edf_corrected=stats.corrected_edf,
                   residual_df=stats.residual_df, deviance=fitted.deviance,
                   null_deviance=stats.null_deviance, deviance_explained=stats.deviance_explained,
                   log_likelihood=stats.log_likelihood, aic=stats.aic,
                   reml=fitted.score if fitted.method in ("REML", "PQL") else math.nan, score=fitted.score,
                   converged=fitted.converged, parameters=_parameters(fitted),
                   variance_components=tuple(VarianceComponent(v.term, v.std_dev, v.lower, v.upper)
                                             for v in _inference.variance_components(fitted)))


def _parameters(fitted: Fitted) -> dict:
    intervals = fitted.parameter_intervals or {}
    return {name: (float(value), *intervals.get(name, (math.nan, math.nan)))
            for name, value in (fitted.family_parameters or {}).items() if value is not None}
