"""
Counts with an offset
=====================

Claim counts over policies of different exposure: a poisson model whose linear predictor
carries ``log(exposure)`` with coefficient 1, so that the smooths describe the claim
*rate* per unit of exposure.
"""

import numpy as np

import velkan
from velkan import GAM, f, s

rng = np.random.default_rng(1)
n = 5000
age = rng.uniform(18, 80, n)
region = rng.integers(0, 3, n)
exposure = rng.uniform(0.1, 2.0, n)
rate = np.exp(-2.0 + 0.6 * np.cos((age - 18) / 12) + 0.3 * region)
claims = rng.poisson(rate * exposure)

X = np.column_stack([age, region])
gam = GAM(s(0) + f(1), family=velkan.Poisson()).fit(X, claims, offset=np.log(exposure))
print(gam.summary())

# %%
# The predicted rate for one year of exposure, and the expected count for half a year:
grid = np.column_stack([np.linspace(20, 75, 4), np.zeros(4)])
print("rate per year:", gam.predict(grid).round(3))
print("claims in half a year:", gam.predict(grid, offset=np.full(4, np.log(0.5))).round(3))

# %%
# The deviance residuals should look like noise; the diagnostics also test each smooth's
# basis size:
print(gam.diagnostics())
fig = gam.plot("s(0)")
