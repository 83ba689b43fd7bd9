"""The example job: builds a model and prints a penalty matrix."""
import numpy as np

import velkan_core

model = velkan_core.GAM("gaussian")
print(f"velkan_core: GAM object with family {model.get_family()}")

knots = np.linspace(0.0, 1.0, 6)
penalty = velkan_core.compute_penalty_matrix("cr", 6, knots)
print("Cubic regression spline penalty for 6 evenly spaced knots on [0, 1]:")
with np.printoptions(precision=3, suppress=True, linewidth=100):
    print(penalty)
