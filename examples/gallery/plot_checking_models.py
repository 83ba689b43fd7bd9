"""
Checking and comparing models
=============================

After a fit: residual panels, a test of whether each basis was large enough, concurvity
between terms, a comparison of nested models, and intervals for a derived quantity from
draws of the posterior.
"""

import numpy as np

import velkan
from velkan import GAM, s

rng = np.random.default_rng(3)
n = 2000
X = rng.uniform(size=(n, 3))
X[:, 2] = X[:, 0] + 0.05 * rng.normal(size=n)    # nearly a copy of column 0
y = np.sin(6 * np.pi * X[:, 0]) + 0.5 * X[:, 1] + rng.normal(scale=0.3, size=n)

# %%
# A basis of 5 functions cannot follow three periods of a sine: the basis-size test says
# so, and a larger basis passes it.
small = GAM(s(0, k=5) + s(1)).fit(X, y)
print(small.diagnostics())
large = GAM(s(0, k=20) + s(1)).fit(X, y)
report = large.diagnostics()
print(report)
fig = report.plot()

# %%
# Concurvity: a smooth of column 2 adds nothing that the smooth of column 0 cannot
# reproduce.
both = GAM(s(0, k=20) + s(1) + s(2)).fit(X, y)
print(both.concurvity())

# %%
# Nested models on the same rows: does s(1) earn its degrees of freedom?
without = GAM(s(0, k=20)).fit(X, y)
print(velkan.compare(without, large))
print("AIC:", round(without.aic(), 1), round(large.aic(), 1))

# %%
# Where does the fitted curve of column 0 peak? Draws of the coefficients from their
# approximate posterior give the location of the maximum in every draw, and an interval.
grid = np.column_stack([np.linspace(0, 0.3, 301), np.full(301, 0.5), np.full(301, 0.5)])
draws = large.predict_draws(grid, large.sample(2000, seed=0))
peak = grid[draws.argmax(axis=1), 0]
print("maximum at", grid[large.predict(grid).argmax(), 0].round(4), "95 % interval", velkan.interval(peak).round(4))
