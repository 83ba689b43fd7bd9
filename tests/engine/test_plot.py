"""Partial-effect plots rendered with the Agg backend."""

import sys

import matplotlib
import numpy as np
import pytest

from velkan import GAM, s

matplotlib.use("Agg")


@pytest.fixture(scope="module")
def model():
    rng = np.random.default_rng(3)
    n = 800
    data = {"x": rng.uniform(size=n), "u": rng.uniform(size=n), "v": rng.uniform(size=n),
            "z": rng.normal(size=n), "g": rng.choice(["a", "b", "c"], n)}
    data["y"] = (np.sin(6 * data["x"]) + data["u"] * data["v"] + 0.3 * data["z"] + (data["g"] == "b")
                 + rng.normal(scale=0.2, size=n))
    return GAM("y ~ s(x) + te(u, v, k=5) + l(z) + f(g)").fit(data), data


def pixels(figure, tmp_path):
    import matplotlib.image

    figure.savefig(tmp_path / "plot.png", dpi=60)
    return matplotlib.image.imread(tmp_path / "plot.png")[..., :3]


def test_every_term_gets_a_drawn_panel(model, tmp_path):
    gam, data = model
    figure = gam.plot()
    panels = [ax for ax in figure.axes if ax.get_visible() and ax.get_title()]
    assert [ax.get_title() for ax in panels] == ["s(x)", "te(u, v)", "l(z)", "f(g)"]
    image = pixels(figure, tmp_path)
    assert image.std() > 0.05 and (image < 0.5).mean() > 0.01  # ink on the page, not a blank canvas
    # The smooth's curve is the term's effect: its shape follows sin(6x) up to a constant.
    curve = panels[0].lines[0]
    x, effect = curve.get_data()
    assert np.corrcoef(effect, np.sin(6 * x))[0, 1] > 0.99
    rug = np.asarray(next(line for line in panels[0].lines if line.get_marker() == "|").get_xdata())
    assert rug.min() == data["x"].min() and rug.max() == data["x"].max()
    # Every effect says its scale: the y axis of curves and points, the colour bar of surfaces.
    scale = "partial effect (identity link scale)"
    assert [panels[i].get_ylabel() for i in (0, 2, 3)] == [scale] * 3
    assert [ax.get_ylabel() for ax in figure.axes if ax.get_visible() and ax not in panels] == [scale]


def test_a_surface_of_three_columns_says_where_the_third_is_held():
    rng = np.random.default_rng(4)
    X = rng.uniform(size=(300, 3))
    gam = GAM("te(0, 1, 2, k=4)").fit(X, X[:, 0] * X[:, 1] + X[:, 2] + rng.normal(scale=0.1, size=300))
    title = gam.plot().axes[0].get_title()
    assert title.startswith("te(0, 1, 2)\nat column 2 = ") and title.endswith(" (median)")
    assert abs(float(title.split("= ")[1].split(" ")[0]) - np.median(gam._rug[2])) < 1e-3


@pytest.mark.parametrize("term", [1, "s(x)", s("x")])
def test_one_term_by_index_label_or_object(model, term):
    gam, _ = model
    figure = gam.plot(term)
    assert [ax.get_title() for ax in figure.axes] == ["s(x)"]


def test_refusals(model, monkeypatch):
    gam, _ = model
    with pytest.raises(ValueError, match="no term 'te\\(x, z\\)'"):
        gam.plot("te(x, z)")
    with pytest.raises(ValueError, match="intercept has no partial effect"):
        gam.plot(0)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install 'velkan\[plot\]'"):
        gam.plot()
