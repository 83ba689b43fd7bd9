"""
A streamed fit
==============

Data read in chunks, once per pass, from a ``.npy`` file on disk (a memmap, Parquet files
or a list of chunks work the same way): the model equals the in-memory fit, and the
checks read the file again in one pass each.
"""

import os
import tempfile

import numpy as np

from velkan import GAM, s

rng = np.random.default_rng(4)
n = 200_000
X = rng.uniform(size=(n, 2))
y = np.sin(2 * np.pi * X[:, 0]) + X[:, 1] ** 2 + rng.normal(scale=0.3, size=n)

folder = tempfile.mkdtemp()
path = os.path.join(folder, "X.npy")
np.save(path, X)

streamed = GAM(s(0) + s(1), verbose=True).fit(path, y)
in_memory = GAM(s(0) + s(1)).fit(X, y)
print("largest coefficient difference:", np.abs(streamed.coef_ - in_memory.coef_).max())

# %%
# Residuals and diagnostics of the streamed model read the file again:
print(streamed.diagnostics())
print("deviance from the residuals:", float((streamed.residuals() ** 2).sum()), streamed.deviance_)

os.remove(path)
os.rmdir(folder)
