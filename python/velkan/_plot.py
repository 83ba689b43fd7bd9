"""Partial-effect plots of a fitted model (matplotlib, an optional dependency).

Each term gets a panel on the link scale: a smooth or linear term its curve over the
training range with a 95 % band and a rug of the training values, a factor or random
effect one point per level with its interval (a random slope: the slope), a smooth with a
by-factor one curve per level, a tensor product or a smooth of several columns a filled
contour over its first two columns.
The effects come from the model's ``partial_effect(term, X)``; the other columns of the
evaluation rows are held at a typical training value (a column's median, a factor's first
level), which shifts nothing, since each term's effect depends on its own columns only.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from ._terms import Term

if TYPE_CHECKING:
    from matplotlib.figure import Figure

# Evaluation points of a curve, and of each side of a contour grid.
CURVE_POINTS = 200
CONTOUR_POINTS = 60
# Standard normal quantile of a two-sided 95 % band.
Z95 = 1.959963984540054
PANEL_COLUMNS = 3


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plot() needs matplotlib: pip install 'velkan[plot]' (or pip install "
                          "matplotlib)") from None
    return plt


def resolve_term(fitted: Any, term: Any) -> int:
    """A term's index in model order from its index, the term object or its label."""
    infos = fitted.terms
    if isinstance(term, (int, np.integer)) and not isinstance(term, bool):
        if not 0 <= term < len(infos):
            raise IndexError(f"term {term} does not exist; the model has {len(infos)} terms "
                             "(the intercept, if any, is term 0)")
        return int(term)
    if isinstance(term, Term):
        term = repr(term)
    if isinstance(term, str):
        for i, info in enumerate(infos):
            if term in (info.label, info.short_name):
                return i
        raise ValueError(f"no term {term!r}; the terms are {[t.short_name for t in infos]}")
    raise TypeError(f"a term is given by its index, the term or its label, not {type(term).__name__}")


class _Rows:
    """Evaluation rows in the layout of the training data, with every column the model
    reads held at a typical value unless set."""

    def __init__(self, gam: Any, fitted: Any) -> None:
        self.fitted = fitted
        self.rug = getattr(gam, "_rug", None) or [None] * len(fitted.inputs)
        self.typical: dict[int, Any] = {}
        for i, inp in enumerate(fitted.inputs):
            if inp.levels is not None:
                self.typical[inp.source] = inp.levels[0]
            else:
                self.typical.setdefault(inp.source, self._median(i))

    def _median(self, i: int) -> float:
        if self.rug[i] is not None and len(self.rug[i]):
            return float(np.median(self.rug[i]))
        lo, hi = self.range(i)
        return 0.5 * (lo + hi)

    def range(self, i: int, term: Any = None, margin: int = 0) -> tuple[float, float]:
        """The training range of engine input column i (from a smooth's knots when given)."""
        if term is not None and term.margins:
            knots = np.asarray(term.margins[margin].knots)
            return float(knots[0]), float(knots[-1])
        if self.rug[i] is not None and len(self.rug[i]):
            return float(self.rug[i][0]), float(self.rug[i][-1])
        center = float(term.center) if term is not None else 0.0
        return center - 1.0, center + 1.0

    def make(self, n: int, values: dict[int, np.ndarray]) -> Any:
        """n rows, feature position -> values set, the rest typical."""
        names = self.fitted.feature_names
        columns = []
        for j in range(self.fitted.n_features):
            if j in values:
                columns.append(np.asarray(values[j]))
            else:
                fill = self.typical.get(j, 0.0)
                column = np.empty(n, dtype=object if isinstance(fill, str) else np.asarray(fill).dtype)
                column[:] = fill
                columns.append(column)
        if names is not None:
            return dict(zip(names, columns))
        if all(c.dtype.kind in "biuf" for c in columns):
            return np.column_stack(columns).astype(np.float64)
        return np.column_stack([c.astype(object) for c in columns])


def _effect(gam: Any, fitted: Any, index: int, X: Any) -> tuple[np.ndarray, np.ndarray | None]:
    partial = getattr(gam, "partial_effect", None)
    if partial is not None:
        effect, se = partial(index, X)
        return np.asarray(effect), np.asarray(se)
    # Without the inference methods: the term's share of the linear predictor, no band.
    layout = fitted.engine_layout()
    columns, _ = gam._model_columns(X)
    design = layout.design(columns)
    o, q = layout.offset(index), layout.term_width(index)
    return design[:, o:o + q] @ fitted.beta_raw[o:o + q], None


def _rug(ax: Any, values: np.ndarray | None, axis: str = "x") -> None:
    if values is None or not len(values):
        return
    if axis == "x":
        ax.plot(values, np.zeros_like(values), "|", color="k", alpha=0.35, markersize=8,
                transform=ax.get_xaxis_transform(), clip_on=False)
    else:
        ax.plot(np.zeros_like(values), values, "_", color="k", alpha=0.35, markersize=8,
                transform=ax.get_yaxis_transform(), clip_on=False)


def partial_residuals(fitted: Any, sample: dict | None, index: int) -> tuple[np.ndarray, np.ndarray] | None:
    """(covariate, effect + working residual) of the sampled training rows for a term of
    one input column; None without a sample."""
    from . import _engine

    if sample is None or sample["y"] is None or not sample["eta"].size:
        return None
    spec = fitted.design.spec[index]
    layout = fitted.engine_layout()
    o, q = layout.offset(index), layout.term_width(index)
    design = layout.design(sample["columns"])
    effect = design[:, o:o + q] @ fitted.beta_raw[o:o + q]
    working = _engine.residuals(fitted.model, sample["y"], sample["eta"], sample["weights"], "working")
    return sample["columns"][spec.columns[0]], effect + working


def _draw(gam: Any, fitted: Any, rows: _Rows, index: int, ax: Any, rug: bool,
          sample: dict | None = None) -> None:
    info = fitted.terms[index]
    spec = fitted.design.spec[index]
    inputs = list(spec.columns)
    def label(i: int) -> str:
        name = fitted.inputs[i].label
        return name if isinstance(name, str) else f"column {name}"

    scale = f"partial effect ({fitted.model.link} link scale)"
    ax.set_title(info.short_name + _held_columns(fitted, rows, inputs[2:]))
    if spec.by and spec.levels:
        return _draw_by_levels(gam, fitted, rows, index, ax, label)
    if info.levels is not None:
        # A factor's or random effect's level effects (a random slope's: its slope, at 1).
        levels = fitted.inputs[inputs[0]].levels
        values = {fitted.inputs[inputs[0]].source: levels}
        if len(inputs) > 1:
            values[fitted.inputs[inputs[1]].source] = np.ones(len(levels))
        X = rows.make(len(levels), values)
        effect, se = _effect(gam, fitted, index, X)
        positions = np.arange(len(levels))
        points = partial_residuals(fitted, sample, index)
        if points is not None:
            jitter = np.random.default_rng(0).uniform(-0.15, 0.15, points[0].size)
            ax.scatter(points[0] + jitter, points[1], s=4, color="0.55", alpha=0.3, linewidths=0, zorder=0)
        ax.errorbar(positions, effect, yerr=None if se is None else Z95 * se, fmt="o", capsize=4)
        ax.set_xticks(positions, [str(v) for v in levels])
        ax.set_xlabel(label(inputs[0]))
        ax.set_ylabel(scale)
        ax.axhline(0.0, color="0.7", lw=0.8, zorder=0)
        return
    if len(inputs) >= 2:
        (lo0, hi0), (lo1, hi1) = rows.range(inputs[0], spec, 0), rows.range(inputs[1], spec, 1)
        g0, g1 = np.meshgrid(np.linspace(lo0, hi0, CONTOUR_POINTS), np.linspace(lo1, hi1, CONTOUR_POINTS))
        X = rows.make(g0.size, {fitted.inputs[inputs[0]].source: g0.ravel(),
                                fitted.inputs[inputs[1]].source: g1.ravel()})
        effect, _ = _effect(gam, fitted, index, X)
        filled = ax.contourf(g0, g1, effect.reshape(g0.shape), levels=20, cmap="RdBu_r")
        ax.figure.colorbar(filled, ax=ax, label=scale)
        ax.set_xlabel(label(inputs[0]))
        ax.set_ylabel(label(inputs[1]))
        if rug:
            _rug(ax, rows.rug[inputs[0]], "x")
            _rug(ax, rows.rug[inputs[1]], "y")
        return
    lo, hi = rows.range(inputs[0], spec)
    grid = np.linspace(lo, hi, CURVE_POINTS)
    X = rows.make(grid.size, {fitted.inputs[inputs[0]].source: grid})
    effect, se = _effect(gam, fitted, index, X)
    points = partial_residuals(fitted, sample, index)
    if points is not None:
        ax.scatter(points[0], points[1], s=4, color="0.55", alpha=0.3, linewidths=0, zorder=0)
    line, = ax.plot(grid, effect)
    if se is not None:
        ax.fill_between(grid, effect - Z95 * se, effect + Z95 * se, color=line.get_color(), alpha=0.25, lw=0)
    ax.axhline(0.0, color="0.7", lw=0.8, zorder=0)
    ax.set_xlabel(label(inputs[0]))
    ax.set_ylabel(scale)
    if rug:
        _rug(ax, rows.rug[inputs[0]])


# Levels of a factor-by smooth drawn as curves (the first ones, in level order).
MAX_CURVES = 12


def _draw_by_levels(gam: Any, fitted: Any, rows: _Rows, index: int, ax: Any, label: Any) -> None:
    """One curve per level of a smooth's by-factor (its first MAX_CURVES levels)."""
    spec = fitted.design.spec[index]
    x_in, g_in = spec.columns[0], spec.columns[-1]
    levels = fitted.inputs[g_in].levels
    lo, hi = rows.range(x_in, spec)
    grid = np.linspace(lo, hi, CURVE_POINTS)
    for level in levels[:MAX_CURVES]:
        values = np.empty(grid.size, dtype=np.asarray(levels).dtype)
        values[:] = level
        X = rows.make(grid.size, {fitted.inputs[x_in].source: grid, fitted.inputs[g_in].source: values})
        effect, _ = _effect(gam, fitted, index, X)
        ax.plot(grid, effect, lw=1, label=str(level))
    if len(levels) <= MAX_CURVES:
        ax.legend(fontsize="small")
    ax.axhline(0.0, color="0.7", lw=0.8, zorder=0)
    ax.set_xlabel(label(x_in))


def _held_columns(fitted: Any, rows: _Rows, inputs: list[int]) -> str:
    """A second title line naming the columns of a tensor product beyond the two drawn,
    and the values (their medians) at which the surface is drawn."""
    if not inputs:
        return ""
    names = [fitted.inputs[i].label for i in inputs]
    held = [f"{n if isinstance(n, str) else f'column {n}'} = {rows.typical[fitted.inputs[i].source]:.4g}"
            for n, i in zip(names, inputs)]
    return "\nat " + ", ".join(held) + " (median)"


def plot(gam: Any, term: Any = None, *, ax: Any = None, rug: bool = True,
         residuals: "bool | None" = None) -> "Figure":
    """Partial-effect panels of a fitted model; see `GAM.plot`."""
    fitted = gam._check_fitted()
    plt = _pyplot()
    if term is None:
        indices = [i for i, t in enumerate(fitted.terms) if t.sources]
        if not indices:
            raise ValueError("the model has no terms besides the intercept")
    else:
        indices = [resolve_term(fitted, term)]
        if not fitted.terms[indices[0]].sources:
            raise ValueError("the intercept has no partial effect to plot")
    if ax is not None:
        if len(indices) != 1:
            raise ValueError("ax draws one term; give term=..., or leave ax out for every term")
        axes = [ax]
        figure = ax.figure
    else:
        ncols = min(PANEL_COLUMNS, len(indices))
        nrows = math.ceil(len(indices) / ncols)
        figure, grid = plt.subplots(nrows, ncols, figsize=(4.2 * ncols, 3.4 * nrows), squeeze=False,
                                    layout="constrained")
        axes = list(grid.ravel())
        for extra in axes[len(indices):]:
            extra.set_visible(False)
    rows = _Rows(gam, fitted)
    sample = gam._residual_sample(residuals) if hasattr(gam, "_residual_sample") else None
    for index, panel in zip(indices, axes):
        _draw(gam, fitted, rows, index, panel, rug, sample)
    return figure


# ---------------------------------------------------------------------- residual panels
# Simulated data sets behind the Q-Q reference and its band.
QQ_REPLICATES = 200


def _qq_reference(sample: dict, model: Any, scale: float, seed: int) -> tuple[np.ndarray, np.ndarray | None]:
    """Expected sorted deviance residuals of the sampled rows under the fitted model (the
    median over data sets simulated from it) and a 95 % band (None when the family has no
    distribution to draw from: then standard normal quantiles times sqrt(scale))."""
    from . import _engine

    n = sample["eta"].size
    mu = model.inverse_link(sample["eta"])
    try:
        drawn = _engine.draw_responses(model, mu, sample["weights"], scale, QQ_REPLICATES, seed)
    except ValueError:
        p = (np.arange(1, n + 1) - 0.5) / n
        return np.sqrt(scale) * np.array([_engine.normal_quantile(v) for v in p]), None
    sims = np.sort(np.stack([_engine.residuals(model, d, sample["eta"], sample["weights"], "deviance")
                             for d in drawn]), axis=1)
    return np.median(sims, axis=0), np.quantile(sims, [0.025, 0.975], axis=0)


def diagnostic_panels(sample: dict, model: Any, scale: float, seed: int) -> "Figure":
    """Q-Q, residuals against the linear predictor, histogram, response against fitted."""
    from . import _engine

    plt = _pyplot()
    if not sample or sample.get("y") is None or not sample["eta"].size:
        raise ValueError("the diagnostics hold no rows to plot")
    eta, y, w = sample["eta"], sample["y"], sample["weights"]
    mu = model.inverse_link(eta)
    resid = _engine.residuals(model, y, eta, w, "deviance")
    figure, axes = plt.subplots(2, 2, figsize=(9.0, 7.0), layout="constrained")
    reference, band = _qq_reference(sample, model, scale, seed)
    order = np.sort(resid)
    (qq, fitted_ax), (hist, obs) = axes
    if band is not None:
        qq.fill_between(reference, band[0], band[1], color="C0", alpha=0.2, lw=0)
    qq.plot(reference, order, ".", markersize=3)
    lo, hi = float(min(reference.min(), order.min())), float(max(reference.max(), order.max()))
    qq.plot([lo, hi], [lo, hi], color="0.4", lw=0.8)
    qq.set(title="Q-Q of deviance residuals", xlabel="simulated quantiles" if band is not None
           else "normal quantiles", ylabel="deviance residuals")
    fitted_ax.plot(eta, resid, ".", markersize=3, alpha=0.5)
    fitted_ax.axhline(0.0, color="0.4", lw=0.8)
    fitted_ax.set(title="Residuals against linear predictor", xlabel="linear predictor",
                  ylabel="deviance residuals")
    hist.hist(resid, bins=min(50, max(10, resid.size // 20)), color="C0", alpha=0.8)
    hist.set(title="Histogram of residuals", xlabel="deviance residuals", ylabel="rows")
    obs.plot(mu, y, ".", markersize=3, alpha=0.5)
    lo, hi = float(min(mu.min(), y.min())), float(max(mu.max(), y.max()))
    obs.plot([lo, hi], [lo, hi], color="0.4", lw=0.8)
    obs.set(title="Response against fitted values", xlabel="fitted values", ylabel="response")
    return figure
