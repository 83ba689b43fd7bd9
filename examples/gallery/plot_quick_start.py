"""
Quick start
===========

A model with two smooths and a factor, fitted from a data frame with a formula; its
summary, predictions and partial-effect plots.
"""

import numpy as np
import pandas as pd

import velkan

rng = np.random.default_rng(0)
n = 2000
df = pd.DataFrame({
    "age": rng.uniform(18, 80, n),
    "income": rng.lognormal(10, 0.5, n),
    "region": rng.choice(["north", "south", "east", "west"], n),
})
df["spend"] = (np.sin(df["age"] / 10) + 0.3 * np.log(df["income"] / 20_000)
               + 0.4 * (df["region"] == "south") + rng.normal(scale=0.3, size=n))

gam = velkan.GAM("spend ~ s(age) + s(income) + f(region)").fit(df)
print(gam.summary())

# %%
# Predictions on the response scale, and 95 % intervals for the mean:
new = df.head(3)
print(gam.predict(new))
print(gam.confidence_intervals(new))

# %%
# One panel per term on the link scale, with a 95 % band, a rug of the data and the
# partial residuals of a sample of the rows:
fig = gam.plot()
