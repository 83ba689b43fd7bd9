"""
A spatial surface
=================

A tensor-product smooth ``te(lon, lat)`` recovers a surface from scattered noisy points;
the surface is drawn as filled contours.
"""

import numpy as np

from velkan import GAM, te

rng = np.random.default_rng(2)
n = 3000
lon, lat = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
truth = np.exp(-3 * ((lon - 0.3) ** 2 + (lat + 0.2) ** 2)) - 0.5 * np.exp(-4 * ((lon + 0.5) ** 2 + (lat - 0.5) ** 2))
y = truth + rng.normal(scale=0.2, size=n)

gam = GAM(te(0, 1, k=8)).fit(np.column_stack([lon, lat]), y)
print(gam.summary())

grid = rng.uniform(-1, 1, size=(500, 2))
true_grid = (np.exp(-3 * ((grid[:, 0] - 0.3) ** 2 + (grid[:, 1] + 0.2) ** 2))
             - 0.5 * np.exp(-4 * ((grid[:, 0] + 0.5) ** 2 + (grid[:, 1] - 0.5) ** 2)))
print("RMSE against the truth:", np.sqrt(np.mean((gam.predict(grid) - true_grid) ** 2)).round(4))

# %%
fig = gam.plot()
