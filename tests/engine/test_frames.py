"""velkan.GAM on data frames: every kind of frame gives the array fit, columns are matched
by name, categorical columns are never smoothed or dropped, and verbose fits report."""

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

from velkan import GAM, f, l, s, te

FORMULA = "y ~ s(age, k=12) + te(lat, lon, k=4) + l(income) + f(region)"


def frame(rng, n=1500):
    data = {"age": rng.uniform(20, 70, n), "lat": rng.uniform(size=n), "lon": rng.uniform(size=n),
            "income": rng.normal(size=n), "region": rng.choice(["north", "south", "east"], n)}
    eta = np.sin(data["age"] / 8) + data["lat"] * data["lon"] + 0.2 * data["income"] + (data["region"] == "south")
    data["y"] = rng.poisson(np.exp(eta)).astype(float)
    return pd.DataFrame(data)


class ArrowStream:  # a frame known only by the Arrow stream it exports
    def __init__(self, df):
        self.table = pa.Table.from_pandas(df)

    def __arrow_c_stream__(self, requested_schema=None):
        return self.table.__arrow_c_stream__(requested_schema)


class Interchange:  # ... or by the dataframe interchange protocol
    def __init__(self, df):
        self.table = pa.Table.from_pandas(df)

    def __dataframe__(self, nan_as_null=False, allow_copy=True):
        return self.table.__dataframe__(nan_as_null, allow_copy)


CONVERT = {
    "pandas": lambda df: df,
    "pandas-categorical": lambda df: df.astype({"region": "category"}),
    "polars": pl.from_pandas,
    "polars-categorical": lambda df: pl.from_pandas(df).with_columns(pl.col("region").cast(pl.Categorical)),
    "arrow": pa.Table.from_pandas,
    "dict": lambda df: {c: df[c].to_numpy() for c in df},
    "arrow-stream": ArrowStream,
    "interchange": Interchange,
}


@pytest.mark.parametrize("kind", CONVERT)
def test_every_frame_gives_the_array_fit(rng, kind):
    df = frame(rng)
    X = df.drop(columns="y").to_numpy(dtype=object)
    X[:, :4] = X[:, :4].astype(float)
    by_position = GAM(s(0, k=12) + te(1, 2, k=4) + l(3) + f(4), family="poisson").fit(X, df["y"])
    data = CONVERT[kind](df)
    by_name = GAM(FORMULA, family="poisson").fit(data)
    assert list(by_name.feature_names_in_) == ["age", "lat", "lon", "income", "region"]
    np.testing.assert_array_equal(by_name.predict(data), by_position.predict(X))
    # Columns are matched by name: reordered, extra, or without the response column.
    shuffled = df[["region", "income", "lon", "lat", "age"]].assign(unused="x")
    np.testing.assert_array_equal(by_name.predict(shuffled), by_position.predict(X))
    with pytest.raises(ValueError, match="X has no column 'lat', which the model uses"):
        by_name.predict(df.drop(columns="lat"))


def refusals(rng):
    df = frame(rng, 200)
    missing = df.astype({"region": object})
    missing.loc[7, "region"] = None
    holes = df.copy()
    holes.loc[3, "age"] = np.nan
    return [
        ("y ~ s(region)", df, "column 'region' is categorical; use f('region')"),
        ("y ~ l(region)", df, "column 'region' is categorical"),
        ("y ~ s(region)", pl.from_pandas(df), "column 'region' is categorical"),
        ("y ~ s(age) + f(region)", missing, "missing values (column 'region', row 7)"),
        ("y ~ s(age)", holes, "NaN or infinite values (column 'age', row 3)"),
        ("region ~ s(age)", df, "response column 'region' is not numeric"),
        ("z ~ s(age)", df, "X has no column 'z'"),
        ("y ~ s(agee)", df, "no column named 'agee'"),
        ("y ~ s(age)", df[["age", "y"]].to_numpy(), "X is an array; pass y"),
        ("y ~ s(age)", {"age": np.ones(3), "y": np.ones(4)}, "differ in length"),
    ]


def test_refusals_name_the_column(rng):
    for formula, data, message in refusals(rng):
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            GAM(formula, family="poisson").fit(data)


def test_no_column_is_dropped_without_terms(rng):
    df = frame(rng, 400)
    df = df.assign(flag=rng.uniform(size=400) > 0.5, kind=pd.Categorical(rng.choice(["a", "b"], 400)))
    gam = GAM(family="poisson").fit(df.drop(columns="y"), df["y"])
    labels = [t.label for t in gam._fitted.terms[1:]]
    assert [lab.partition("(")[0] for lab in labels] == ["s", "s", "s", "s", "f", "f", "f"]
    # Refitting on an array forgets the names.
    gam.fit(df[["age", "lat"]].to_numpy(), df["y"])
    assert not hasattr(gam, "feature_names_in_") and gam.n_features_in_ == 2


def test_verbose_prints_one_line_per_iteration(rng, capsys):
    df = frame(rng, 500)
    gam = GAM("y ~ s(age) + l(income)", family="poisson", verbose=True).fit(df)
    lines = capsys.readouterr().out.splitlines()
    # performance iteration to get close (PQL), then Newton steps on the Laplace criterion
    assert len(lines) == gam.n_iter_ > 1
    labels = [line.split()[2] for line in lines]
    assert labels[0] == "PQL" and labels[-1] == "REML" and labels == sorted(labels)
    assert all(line.startswith(f"iteration {i + 1}: ") and "lambda [" in line and line.endswith(" s")
               for i, line in enumerate(lines))
