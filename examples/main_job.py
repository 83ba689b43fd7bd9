"""The example job: an additive model of diabetes progression (the data set scikit-learn
ships, so nothing is downloaded) written as a formula over a DataFrame, checked against a
linear model by cross-validation, saved and read back."""
import os
import tempfile
import time

import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.linear_model import LinearRegression
from sklearn.model_selection import KFold, cross_val_score

import velkan

SMOOTH_NAMES = ["age", "bmi", "bp", "s1", "s2", "s3", "s4", "s5", "s6"]
# The full model smooths every measurement; REML turns bp and s1..s4 into straight lines
# (smoothing parameters above 1e6), so the chosen model has them as linear terms.
FULL = "s(age) + f(sex) + s(bmi) + s(bp) + s(s1) + s(s2) + s(s3) + s(s4) + s(s5) + s(s6)"
CHOSEN = "s(age) + f(sex) + s(bmi) + l(bp) + l(s1) + l(s2) + l(s3) + l(s4) + s(s5) + s(s6)"


def main():
    data = load_diabetes(as_frame=True).frame
    print(f"diabetes: {len(data)} patients, columns {', '.join(data.columns)}")

    start = time.perf_counter()
    full = velkan.GAM("target ~ " + FULL).fit(data)
    print(f"full model fitted in {(time.perf_counter() - start) * 1e3:.1f} ms; smoothing parameters:")
    print("  " + ", ".join(f"{name} {lam:.3g}" for name, lam in zip(SMOOTH_NAMES, full.lambda_)))

    gam = velkan.GAM("target ~ " + CHOSEN).fit(data)
    print(gam.summary())
    print(f"chosen model: {gam.edf_:.2f} effective degrees of freedom, scale {gam.scale_:.1f}")

    X, y = data.drop(columns="target"), data["target"]
    folds = KFold(10, shuffle=True, random_state=0)
    gam_r2 = cross_val_score(velkan.GAMRegressor(CHOSEN), X, y, cv=folds)
    linear_r2 = cross_val_score(LinearRegression(), X, y, cv=folds)
    print(f"10-fold cross-validated R^2: GAM {gam_r2.mean():.3f} (sd {gam_r2.std():.3f}), "
          f"linear model {linear_r2.mean():.3f} (sd {linear_r2.std():.3f})")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "diabetes.velkan")
        gam.save(path)
        loaded = velkan.load(path)
        same = np.array_equal(loaded.predict(data), gam.predict(data))
        print(f"saved to a {os.path.getsize(path)}-byte model file; predictions after loading are "
              f"{'bit-identical' if same else 'DIFFERENT'}")


if __name__ == "__main__":
    main()
