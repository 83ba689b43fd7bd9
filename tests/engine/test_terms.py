"""The term kinds beyond plain smooths: thin-plate splines against scipy's thin-plate
interpolation, random effects against statsmodels' MixedLM, the interaction-only tensor's
separation from the main effects, by-variables, the null-space penalty of select_terms,
shape constraints on a fine grid, the sparse pass and block elimination against the dense
paths, unseen levels, and model files of every new term."""

import io
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import velkan
from velkan import GAM, re, s, te
from velkan import _engine as E

T = pytest.importorskip("_velkan_testing").engine

PS = [b[0] for b in E.bases() if b[6]][0]          # a basis that takes shape constraints
TP = [b[0] for b in E.bases() if b[4] > 1][0]      # the multi-column (thin-plate) basis


def ps_margin(k, lo=0.0, hi=1.0):
    return E.MarginSpec(PS, k, E.place_knots(PS, k, lo, hi, None, None))


class TestThinPlate:
    @pytest.mark.parametrize("d,kernel", [(1, "cubic"), (2, "thin_plate_spline"), (3, "linear")])
    def test_full_rank_basis_interpolates_as_scipy(self, rng, d, kernel):
        # With k = N points the truncation keeps everything: least squares through the N
        # points is the thin-plate interpolant, which scipy computes independently.
        interp = pytest.importorskip("scipy.interpolate")
        n = 25
        points = rng.uniform(size=(n, d))
        box = np.r_[np.zeros(d), np.ones(d)]
        lay = E.Layout([E.thin_plate_spec(list(range(d)), points, n, box)])
        X = lay.design([points[:, a].copy() for a in range(d)])
        values = np.sin(3 * points).sum(axis=1)
        coef = np.linalg.solve(X, values)
        new = rng.uniform(0.1, 0.9, size=(40, d))
        ours = lay.design([new[:, a].copy() for a in range(d)]) @ coef
        theirs = interp.RBFInterpolator(points, values, kernel=kernel, degree=1)(new)
        np.testing.assert_allclose(ours, theirs, rtol=1e-7, atol=1e-8)

    def test_two_column_rows_match_numpy_at_and_near_the_points(self, rng):
        # The rows' logarithm is the engine's own: against numpy's at random points, at the
        # points themselves (r = 0), a subnormal distance away and 1e-9 away.
        points = rng.uniform(size=(300, 2))
        lay = E.Layout([E.thin_plate_spec([0, 1], points, 20, np.array([0.0, 0.0, 1.0, 1.0]))])
        spec = lay.specs[0]
        new = np.vstack([rng.uniform(size=(500, 2)), points[:20], points[:5] + 1e-160, points[:5] + 1e-9])
        ours = lay.design([new[:, 0].copy(), new[:, 1].copy()])
        shift, scale = spec.standardise[:2], spec.standardise[2]
        r2 = (((new - shift) / scale)[:, None, :] - spec.points[None, :, :]) ** 2
        r2 = r2.sum(axis=2)
        radial = np.where(r2 > 0, r2 * np.log(np.where(r2 > 0, r2, 1.0)), 0.0) / (16 * np.pi)
        r = spec.transform.shape[1]
        np.testing.assert_allclose(ours[:, :r], radial @ spec.transform, rtol=0, atol=1e-14)
        assert np.isnan(lay.design([np.array([np.nan]), np.array([0.5])])).all()

    def test_null_space_is_linear_and_continuation_is_linear_outside_the_box(self, rng):
        points = rng.uniform(size=(300, 2))
        lay = E.Layout([E.thin_plate_spec([0, 1], points, 20, np.array([0.0, 0.0, 1.0, 1.0]))])
        S = lay.penalty_matrix(0)
        w, v = np.linalg.eigh(S)
        null = v[:, w < 1e-9 * w.max()]
        assert null.shape[1] == 3
        grid = rng.uniform(size=(50, 2))
        fitted = lay.design([grid[:, 0].copy(), grid[:, 1].copy()]) @ null
        coef, *_ = np.linalg.lstsq(np.column_stack([np.ones(50), grid]), fitted, rcond=None)
        np.testing.assert_allclose(np.column_stack([np.ones(50), grid]) @ coef, fitted, atol=1e-9)
        # Along a ray leaving the box through a side (or a corner) every column is affine in
        # the distance travelled, and the step onto the boundary joins the inside.
        t = np.linspace(0.0, 1.0, 5)
        corner = lay.design([-0.5 - t, 1.2 + 2 * t])
        np.testing.assert_allclose(np.diff(corner, 2, axis=0), 0.0, atol=1e-9)
        ray = np.column_stack([1.0 + t, np.full(5, 0.3)])
        Y = lay.design([ray[:, 0].copy(), ray[:, 1].copy()])
        np.testing.assert_allclose(np.diff(Y, 2, axis=0), 0.0, atol=1e-9)
        edge = lay.design([np.array([1.0 - 1e-9]), np.array([0.3])])
        np.testing.assert_allclose(edge[0], Y[0], atol=1e-6)
        # ... along the tangent: the slope outside is the slope inside (the basis is C1).
        inside = lay.design([np.array([1.0 - 1e-4]), np.array([0.3])])[0]
        np.testing.assert_allclose((Y[1] - Y[0]) / 0.25, (Y[0] - inside) / 1e-4, rtol=1e-3, atol=1e-3)

    def test_isotropic_smooth_fits_a_radial_bump(self, rng):
        X = rng.uniform(size=(2000, 2))
        bump = lambda x: np.exp(-20 * ((x[:, 0] - 0.5) ** 2 + (x[:, 1] - 0.5) ** 2))
        y = bump(X) + 0.1 * rng.normal(size=2000)
        gam = GAM(s(0, 1, bs=TP, k=30)).fit(X, y)
        new = rng.uniform(size=(2000, 2))
        assert np.sqrt(np.mean((gam.predict(new) - bump(new)) ** 2)) < 0.03


# Levels of each grouped kind that make it wide enough for the sparse path.
LEVELS = {"random": 220, "slope": 220, "curves": 45, "factor_by": 45, "factor": 221}


def grouped_specs(kind):
    """A layout with a grouped term of this kind beside dense ones, and its levels."""
    levels = LEVELS[kind]
    return {
        "random": [E.TermSpec("intercept"), E.TermSpec("smooth", [0], [ps_margin(8)]), E.TermSpec("random", [1], levels=levels),
                   E.TermSpec("linear", [2])],
        "slope": [E.TermSpec("intercept"), E.TermSpec("random", [1, 2], levels=levels), E.TermSpec("smooth", [0], [ps_margin(6)])],
        "curves": [E.TermSpec("intercept"), E.TermSpec("smooth", [0, 1], [ps_margin(5)], levels=levels, by="random"),
                   E.TermSpec("linear", [2])],
        "factor_by": [E.TermSpec("intercept"), E.TermSpec("smooth", [0, 1], [ps_margin(5)], levels=levels, by="factor")],
        "factor": [E.TermSpec("intercept"), E.TermSpec("factor", [1], levels=levels), E.TermSpec("linear", [2])],
    }[kind], levels


def grouped_data(rng, n, levels):
    g = rng.integers(0, levels, n).astype(float)
    x, z = rng.uniform(size=n), rng.normal(size=n)
    y = np.sin(5 * x) + 0.5 * rng.normal(size=levels)[g.astype(int)] + 0.3 * z + 0.5 * rng.normal(size=n)
    return [x, g, z], y


class TestGroupedTerms:
    @pytest.mark.parametrize("kind", list(LEVELS))
    def test_sparse_pass_equals_the_dense_design(self, rng, kind):
        spec, levels = grouped_specs(kind)
        lay = E.Layout(spec)
        assert lay.width >= 200 and lay.sparse  # the sparse path is taken
        cols, y = grouped_data(rng, 3000, levels)
        counts = np.exp(0.3 * np.sin(5 * cols[0]))
        y = rng.poisson(counts).astype(float)
        beta0 = 0.01 * rng.normal(size=lay.width)
        sums = E.accumulate(lay, cols, y, None, None, E.ResponseModel("poisson"), beta0, False, True, 2, 97)
        X = lay.design(cols)
        mu = np.exp(X @ beta0)
        np.testing.assert_allclose(sums.xtwx, X.T @ (mu[:, None] * X), atol=1e-9)
        np.testing.assert_allclose(sums.xtwt, X.T @ (y - mu), atol=1e-9)
        np.testing.assert_allclose(sums.column_sums, X.sum(axis=0), atol=1e-9)
        np.testing.assert_allclose(E.linear_predictor(lay, cols, beta0, None, 3000, 2), X @ beta0, atol=1e-13)

    @pytest.mark.parametrize("kind", ["random", "slope", "curves"])
    @pytest.mark.parametrize("scale", [np.nan, 0.4])
    def test_block_elimination_equals_the_dense_criterion(self, rng, kind, scale):
        spec, levels = grouped_specs(kind)
        lay = E.Layout(spec)
        cols, y = grouped_data(rng, 4000, levels)
        sums = E.accumulate(lay, cols, y, None, None, E.ResponseModel("gaussian"), np.zeros(lay.width), True, True)
        lc = lay.centred(sums.column_sums)
        rho = rng.normal(size=len(lc.penalty_terms))
        dense = T.evaluate_criterion(lc, sums, np.zeros(lay.width), rho, "REML", scale, 2)
        blocked = T.evaluate_criterion(lc, sums, np.zeros(lay.width), rho, "REML", scale, 2, True)
        for key in ("score", "log_det_h", "deviance", "edf"):
            assert blocked[key] == pytest.approx(dense[key], rel=1e-10)
        for key in ("gradient", "hessian", "beta", "edf_per_coefficient"):
            np.testing.assert_allclose(blocked[key], dense[key], rtol=1e-8, atol=1e-9)

    def test_blocked_covariances_and_row_variances_equal_dense_algebra(self, rng):
        n, levels = 4000, 250
        cols, y = grouped_data(rng, n, levels)
        df = pd.DataFrame({"x": cols[0], "g": cols[1].astype(int).astype(str), "z": cols[2], "y": y})
        gam = GAM("y ~ s(x) + re(g) + l(z)").fit(df)
        fit, lay = gam._fitted, gam._fitted.engine_layout()
        assert lay.sparse
        S = np.zeros_like(fit.xtwx)
        for j, (o, Sj) in enumerate(lay.constrained_penalties()):
            S[o:o + len(Sj), o:o + len(Sj)] += np.exp(fit.rho[j]) * Sj
        Hinv = np.linalg.inv(fit.xtwx + S)
        cov = velkan._inference.covariances(fit)
        np.testing.assert_allclose(cov.vp, fit.scale * Hinv, rtol=1e-7, atol=1e-12)
        np.testing.assert_allclose(cov.ve, fit.scale * Hinv @ fit.xtwx @ Hinv, rtol=1e-6, atol=1e-12)
        np.testing.assert_allclose(cov.edf, np.diag(Hinv @ fit.xtwx), atol=1e-9)
        X = lay.design(gam._model_columns(df.head(40))[0])
        _, se = gam.predict(df.head(40), return_std=True)
        np.testing.assert_allclose(se, np.sqrt(np.einsum("ij,jk,ik->i", X, cov.vc_raw, X)), rtol=1e-10)

    def test_random_intercepts_agree_with_mixedlm(self, rng):
        sm = pytest.importorskip("statsmodels.formula.api")
        n_groups, per = 40, 25
        g = np.repeat(np.arange(n_groups), per)
        x = rng.uniform(size=g.size)
        y = 1.0 + 2.0 * x + 0.5 * rng.normal(size=n_groups)[g] + 0.8 * rng.normal(size=g.size)
        df = pd.DataFrame({"x": x, "g": g.astype(str), "y": y})
        gam = GAM("y ~ l(x) + re(g)").fit(df)
        mixed = sm.mixedlm("y ~ x", df, groups=df["g"]).fit(reml=True)
        sd = gam.summary().variance_components[0]
        assert sd.std_dev == pytest.approx(np.sqrt(float(mixed.cov_re.iloc[0, 0])), rel=1e-3)
        assert gam.scale_ == pytest.approx(mixed.scale, rel=1e-3)
        population = gam.predict(pd.DataFrame({"x": [0.0, 1.0]}), random_effects=False)
        assert population == pytest.approx(mixed.fe_params["Intercept"] + np.array([0.0, 1.0]) * mixed.fe_params["x"],
                                           rel=1e-3)
        assert sd.lower < sd.std_dev < sd.upper
        blups = np.array([mixed.random_effects[str(k)].iloc[0] for k in range(n_groups)])
        effect, _ = gam.partial_effect("re('g')", pd.DataFrame({"x": 0.0, "g": [str(k) for k in range(n_groups)]}))
        np.testing.assert_allclose(effect, blups, atol=1e-3 * np.abs(blups).max())

    @pytest.mark.parametrize("family", ["poisson", "negative_binomial"])
    def test_models_beyond_the_laplace_search_are_fitted_by_performance_iteration(self, rng, family):
        # A wide grouped term (sparse passes) or a shape constraint: "REML" fits them as
        # "PQL" does, and says so, rather than failing inside the Laplace search.
        g = rng.integers(0, 300, 3000)
        x = rng.uniform(size=g.size)
        y = rng.poisson(np.exp(np.sin(3 * x) + 0.4 * rng.normal(size=300)[g])).astype(float)
        for terms, X in [(s(0) + re(1), np.c_[x, g]), (s(0, constraint="increasing"), x[:, None])]:
            reml, pql = (GAM(terms, family=family, method=m).fit(X, y) for m in ("REML", "PQL"))
            assert reml._fitted.method == "PQL"
            np.testing.assert_array_equal(reml.coef_, pql.coef_)
            # and a random effect's sd keeps its interval (from the working model's REML Hessian)
            components = reml.summary().variance_components
            assert len(components) == (X.shape[1] == 2)
            assert all(c.lower < c.std_dev < c.upper for c in components)

    def test_unseen_levels_predict_the_population_value_with_one_warning(self, rng):
        df = pd.DataFrame({"x": rng.uniform(size=300), "g": rng.choice(list("abcdef"), 300)})
        df["y"] = np.sin(4 * df["x"]) + df["g"].map(dict(zip("abcdef", rng.normal(size=6)))) + 0.2 * rng.normal(size=300)
        gam = GAM("y ~ s(x) + re(g) + s(x, by=g, shrink=True, k=5)").fit(df)
        new = pd.DataFrame({"x": [0.2, 0.7, 0.7], "g": ["a", "zz", "yy"]})
        with pytest.warns(UserWarning, match="2 row") as caught:
            mixed = gam.predict(new)
        assert len(caught) == 1
        population = gam.predict(new[["x"]], random_effects=False)
        assert mixed[1:] == pytest.approx(population[1:], rel=1e-14)
        assert mixed[0] != pytest.approx(population[0])
        with pytest.raises(ValueError, match="not seen"):
            GAM("y ~ s(x) + f(g)").fit(df).predict(new)

    def test_object_labels_follow_set_and_dict_semantics(self, rng):
        # Equal objects are one label (1 == 1.0 == True; equal strings that are distinct
        # objects); the engine's hashed pass must agree with Python's own set and dict.
        pool = ["a", "b" * 3, "".join(["b", "bb"]), 1, 1.0, True, 2.5, ("t", 1), None]
        col = np.empty(5000, dtype=object)
        col[:] = [pool[i] for i in rng.integers(0, len(pool), col.size)]
        distinct = E.distinct_labels(col)
        assert len(distinct) == len(set(col.tolist())) and set(distinct) == set(col.tolist())
        levels = np.empty(4, dtype=object)
        levels[:] = ["a", "bbb", 1, ("t", 1)]
        table = {v: float(i) for i, v in enumerate(levels.tolist())}
        expected = [table.get(v, -7.0) for v in col.tolist()]
        np.testing.assert_array_equal(E.label_positions(col[::-1], levels, -7.0), expected[::-1])
        col[17] = ["unhashable"]
        with pytest.raises(TypeError, match="unhashable"):
            E.label_positions(col, levels, -1.0)
        with pytest.raises(TypeError, match="array of objects"):
            E.distinct_labels(np.arange(3.0))
        with pytest.raises(ValueError, match="distinct"):
            E.label_positions(levels, np.array(["a", "a"], dtype=object), -1.0)

    def test_by_variables(self, rng):
        x, z = rng.uniform(size=50), rng.normal(size=50)
        g = rng.integers(0, 3, 50).astype(float)
        plain = E.Layout([E.TermSpec("smooth", [0], [ps_margin(6)])]).design([x])
        numeric = E.Layout([E.TermSpec("smooth", [0, 1], [ps_margin(6)], by="numeric")]).design([x, z])
        np.testing.assert_allclose(numeric, z[:, None] * plain, atol=1e-15)
        factor = E.Layout([E.TermSpec("smooth", [0, 1], [ps_margin(6)], levels=3, by="factor")]).design([x, g])
        for level in range(3):
            block = factor[:, 6 * level:6 * level + 6]
            np.testing.assert_allclose(block, np.where(g[:, None] == level, plain, 0.0), atol=1e-15)

    def test_factor_by_recovers_distinct_curves(self, rng):
        n = 3000
        g = rng.integers(0, 5, n)
        x = rng.uniform(size=n)
        curves = [lambda t, a=a: np.sin((a + 2) * t) + 0.3 * a for a in range(5)]
        truth = np.choose(g, [c(x) for c in curves])
        df = pd.DataFrame({"x": x, "g": g.astype(str), "y": truth + 0.3 * rng.normal(size=n)})
        joint = GAM("y ~ f(g) + s(x, by=g)").fit(df)
        for a in range(5):
            rows = df[df["g"] == str(a)]
            alone = GAM("y ~ s(x)").fit(rows)
            grid = pd.DataFrame({"x": np.linspace(0, 1, 200), "g": str(a)})
            err_joint = np.sqrt(np.mean((joint.predict(grid) - curves[a](grid["x"])) ** 2))
            err_alone = np.sqrt(np.mean((alone.predict(grid) - curves[a](grid["x"])) ** 2))
            assert err_joint <= 1.1 * err_alone + 0.01
        # Each level's curve is centred on its own rows (the level's mean is f(g)'s).
        effect, _ = joint.partial_effect(2, df)
        sums = [abs(effect[g == a].sum()) for a in range(5)]
        np.testing.assert_allclose(sums, 0.0, atol=1e-8 * np.abs(effect).sum())


class TestPenalties:
    def layouts(self, rng, x):
        """Centred layouts of the new kinds, with the column sums of data x."""
        k = 6
        specs = {
            "select": [E.TermSpec("intercept"), E.TermSpec("smooth", [0], [ps_margin(k)], select=True)],
            "interaction_only": [E.TermSpec("intercept"),
                                 E.TermSpec("smooth", [0, 1], [ps_margin(k), ps_margin(k)], interaction_only=True)],
            "interaction_select": [E.TermSpec("intercept"),
                                   E.TermSpec("smooth", [0, 1], [ps_margin(k), ps_margin(k)], interaction_only=True,
                                              select=True)],
            "thin_plate_select": [E.TermSpec("intercept"),
                                  E.thin_plate_spec([0, 1], x[:200, :2], 12, np.array([0.0, 0.0, 1.0, 1.0]), "", True)],
            "curves": [E.TermSpec("intercept"), E.TermSpec("smooth", [0, 2], [ps_margin(k)], levels=4, by="random")],
        }
        cols = [x[:, 0].copy(), x[:, 1].copy(), np.floor(4 * x[:, 2])]
        out = {}
        for name, spec in specs.items():
            lay = E.Layout(spec)
            out[name] = lay.centred(lay.design(cols).sum(axis=0))
        return out

    def test_log_determinant_is_exact_and_null_space_as_declared(self, rng):
        x = rng.uniform(size=(500, 3))
        for name, lay in self.layouts(rng, x).items():
            blocks = lay.constrained_penalties()
            m = len(blocks)
            p = lay.coefficients

            def dense(rho):
                S = np.zeros((p, p))
                for (o, Sj), r in zip(blocks, rho):
                    S[o:o + len(Sj), o:o + len(Sj)] += np.exp(r) * Sj
                return S

            ev = np.linalg.eigvalsh(dense(np.zeros(m)))
            rank = int(np.sum(ev > 1e-9 * ev.max()))
            assert p - rank == lay.null_space_dimension, name
            value0, grad, _ = T.log_pseudo_determinant(lay, np.zeros(m))
            assert grad.sum() == pytest.approx(rank), name
            rho = rng.uniform(-2, 2, size=m)
            value, _, _ = T.log_pseudo_determinant(lay, rho)
            logdet = lambda r: np.sum(np.log(np.sort(np.linalg.eigvalsh(dense(r)))[-rank:]))
            assert value - value0 == pytest.approx(logdet(rho) - logdet(np.zeros(m)), abs=1e-7), name

    def test_select_leaves_only_the_intercept_unpenalized(self, rng):
        x = rng.uniform(size=(500, 3))
        for name, lay in self.layouts(rng, x).items():
            if "select" in name:
                assert lay.null_space_dimension == 1, name

    def test_interaction_only_tensor_holds_no_main_effect(self, rng):
        n, k = 400, 5
        x = rng.uniform(size=(n, 2))
        cols = [x[:, 0].copy(), x[:, 1].copy()]
        main = [E.Layout([E.TermSpec("smooth", [c], [ps_margin(k)])]).design(cols) for c in (0, 1)]
        full = E.Layout([E.TermSpec("smooth", [0, 1], [ps_margin(k), ps_margin(k)])])
        only = E.Layout([E.TermSpec("smooth", [0, 1], [ps_margin(k), ps_margin(k)], interaction_only=True)])
        sums = only.design(cols).sum(axis=0)
        Z = np.column_stack([only.centred(sums).expand(e) for e in np.eye(only.centred(sums).coefficients)])
        X_only = only.design(cols) @ Z
        assert X_only.shape[1] == (k - 1) ** 2
        stacked = np.column_stack(main + [X_only])
        # The main effects share the constant (each basis sums to one); beyond it the spans
        # meet only at 0, while the full tensor product contains both main effects.
        assert np.linalg.matrix_rank(stacked) == 2 * k - 1 + (k - 1) ** 2
        assert np.linalg.matrix_rank(np.column_stack(main + [full.design(cols)])) == k * k

    def test_select_shrinks_a_noise_term(self, rng):
        X = rng.uniform(size=(2000, 3))
        y = np.sin(2 * np.pi * X[:, 0]) + X[:, 1] + 0.5 * rng.normal(size=2000)
        edf = velkan._inference.term_edf(GAM(s(0) + s(1) + s(2), select_terms=True).fit(X, y)._fitted)
        assert edf[3] < 0.1 and 0.8 < edf[2] < 2.5 and edf[1] > 4


class TestTermRemoval:
    """select_terms' removal check on seeded data whose REML optimum leaves the pure-noise
    term x2 0.3-0.7 edf: the check takes it out, keeps the real terms, and does the same for
    chunked rows, after a model file and for a poisson fit (Laplace REML and PQL)."""

    def data(self, seed, poisson=False):
        rng = np.random.default_rng(seed)
        X = rng.uniform(size=(1000, 3))
        if poisson:
            return X, rng.poisson(np.exp(1 + 0.5 * np.sin(2 * np.pi * X[:, 0]) + (X[:, 1] - 0.5) ** 2))
        return X, np.sin(2 * np.pi * X[:, 0]) + 2 * (X[:, 1] - 0.5) ** 2 + 0.5 * rng.normal(size=1000)

    def test_gaussian_noise_term_removed_everywhere(self):
        X, y = self.data(3)
        gam = GAM(s(0) + s(1) + s(2), select_terms=True).fit(X, y)
        edf = [t.edf for t in gam.summary().terms]
        assert edf[2] < 0.1 and edf[0] > 8 and edf[1] > 2.5
        chunks = [(X[i:i + 250], y[i:i + 250]) for i in range(0, 1000, 250)]
        chunked = GAM(s(0) + s(1) + s(2), select_terms=True).fit(chunks)
        np.testing.assert_allclose(chunked._fitted.edf, gam._fitted.edf, rtol=1e-7, atol=1e-9)
        np.testing.assert_allclose(chunked.predict(X), gam.predict(X), rtol=1e-9)
        buf = io.BytesIO()
        gam.save(buf)
        copy = velkan.load(io.BytesIO(buf.getvalue()))
        for a, b in zip(gam.predict(X, return_std=True), copy.predict(X, return_std=True)):
            np.testing.assert_array_equal(a, b)
        assert str(copy.summary()) == str(gam.summary())

    @pytest.mark.parametrize("method", ["REML", "PQL"])
    def test_poisson_noise_term_removed_weak_term_kept(self, method):
        X, y = self.data(2, poisson=True)
        gam = GAM(s(0) + s(1) + s(2), family="poisson", method=method, select_terms=True).fit(X, y)
        edf = [t.edf for t in gam.summary().terms]
        assert edf[2] < 0.1 and edf[0] > 5 and edf[1] > 1
        assert gam._fitted.method == method
        # The removed term stays out of the intervals' integration over smoothing
        # parameters: its covariance is that of the model without it.
        fitted = gam._fitted
        assert fitted.removed_terms == [3]
        cov, lay = velkan._inference.covariances(fitted), fitted.engine_layout()
        o, q = lay.coefficient_offset(3), lay.coefficient_width(3)
        assert np.trace(cov.vc[o:o + q, o:o + q]) < 2 * np.trace(cov.vp[o:o + q, o:o + q])

    def test_thin_plate_under_selection_has_a_smoothing_parameter_per_penalty(self):
        # Its null-space penalty had no entry of its own: the next term's fixed lam fell on
        # it, and the summary's smoothing-parameter correction refused the mismatch.
        X, y = self.data(3)
        gam = GAM(s(0, 1, bs="tp", k=20) + s(2, lam=5.0), select_terms=True).fit(X, y)
        assert len(gam.summary().terms) == 2
        assert gam.lambda_[2] == pytest.approx(5.0) and len(gam.lambda_) == 4


class TestShapeConstraints:
    @pytest.mark.parametrize("shape,truth,order,sign", [
        ("increasing", lambda x: np.where(x < 0.5, 0.0, 2 * (x - 0.5)), 1, 1),
        ("decreasing", lambda x: -np.log1p(5 * x), 1, -1),
        ("convex", lambda x: np.maximum(x - 0.4, 0.0) ** 1.5, 2, 1),
        ("concave", lambda x: np.sqrt(x), 2, -1),
    ])
    @pytest.mark.filterwarnings("ignore::velkan.ExtrapolationWarning")
    def test_constraint_holds_on_a_fine_grid_beyond_the_data(self, rng, shape, truth, order, sign):
        x = rng.uniform(size=(300, 1))
        y = truth(x[:, 0]) + 0.3 * rng.normal(size=300)
        gam = GAM(s(0, constraint=shape)).fit(x, y)
        grid = np.linspace(-0.3, 1.3, 100_001)[:, None]
        values = gam.predict(grid)
        assert sign * np.diff(values, order).min() >= -1e-12 * np.abs(values).max()
        _, se = gam.predict(grid[::1000], return_std=True)
        assert np.all(np.isfinite(se))

    # Draws whose active-set path has a step that an earlier-released constraint blocks.
    @pytest.mark.parametrize("seed", [10, 25, 32])
    def test_programme_matches_bounded_least_squares(self, seed):
        # Increasing coefficients, beta = L gamma with gamma[1:] >= 0 (L cumulative sums),
        # make the programme a bounded least-squares problem that scipy solves independently.
        opt = pytest.importorskip("scipy.optimize")
        rng, p = np.random.default_rng(seed), 25
        R = rng.normal(size=(40, p))
        target = R @ rng.normal(size=p) + 0.1 * rng.normal(size=40)
        beta = T.solve_shape_qp(R.T @ R, R.T @ target, np.diff(np.eye(p), axis=0))
        L = np.tril(np.ones((p, p)))
        lower = np.r_[-np.inf, np.zeros(p - 1)]
        gamma = opt.lsq_linear(R @ L, target, bounds=(lower, np.inf), method="bvls", tol=1e-12).x
        np.testing.assert_allclose(beta, L @ gamma, atol=1e-8)

    def test_fit_obeys_the_constraint_when_the_active_set_alternates(self):
        # Simulated data (the 70th draw of a seed) whose active set keeps changing as the
        # smoothing parameter moves: the fit is still the programme's at its own lambda.
        rng = np.random.default_rng(205)
        for _ in range(69):
            rng.uniform(size=200), rng.normal(size=200), rng.uniform(size=5000)
        x = rng.uniform(size=(200, 1))
        y = np.where(x[:, 0] < 0.4, 0.0, 4 * (x[:, 0] - 0.4) ** 2) + 0.2 * x[:, 0] + 0.3 * rng.normal(size=200)
        gam = GAM(s(0, constraint="increasing")).fit(x, y)
        values = gam.predict(np.linspace(0.0, 1.0, 10_001)[:, None])
        assert np.diff(values).min() >= -1e-12 * np.abs(values).max()
        held = GAM(s(0, constraint="increasing", lam=float(np.exp(gam._fitted.rho[0])))).fit(x, y)
        np.testing.assert_allclose(gam.coef_, held.coef_, rtol=1e-9, atol=1e-12)

    def test_an_inactive_constraint_leaves_the_fit_unchanged(self, rng):
        x = rng.uniform(size=(500, 1))
        y = 3 * x[:, 0] + 0.1 * rng.normal(size=500)
        a, b = GAM(s(0, bs="ps")).fit(x, y), GAM(s(0, constraint="increasing")).fit(x, y)
        assert b._fitted.constraint_basis is None
        np.testing.assert_array_equal(a.predict(x), b.predict(x))

    def test_refusals(self):
        with pytest.raises(ValueError, match="shape constraint"):
            s(0, bs="cr", constraint="increasing")
        with pytest.raises(ValueError, match="constraint must be one of"):
            s(0, constraint="wiggly")
        with pytest.raises(ValueError, match="te\\(\\) for a tensor product"):
            s(0, 1, bs=PS)
        with pytest.raises(ValueError, match="cannot be a margin"):
            te(0, 1, bs=TP)
        with pytest.raises(ValueError, match="shrink=True"):
            s(0, shrink=True)


MODELS = [
    "y ~ s(x) + re(g) + re(g, z)",
    "y ~ f(h) + s(x, by=h) + s(x, by=z)",
    "y ~ s(x, by=g, shrink=True, k=5)",
    "y ~ s(x) + s(z) + te(x, z, interaction_only=True)",
    "y ~ s(x, z, bs=tp, k=15) + s(w, bs=tp, k=6)",
    "y ~ s(x, constraint=increasing) + s(z)",
]


@pytest.mark.parametrize("formula", MODELS)
def test_formulas_and_model_files_round_trip(rng, formula):
    n = 600
    g = rng.integers(0, 12, n)
    df = pd.DataFrame({"x": rng.uniform(size=n), "z": rng.uniform(size=n), "w": rng.uniform(size=n),
                       "g": g.astype(str), "h": np.where(g % 2, "a", "b")})
    df["y"] = 2 * df["x"] + np.sin(4 * df["z"]) + 0.5 * rng.normal(size=12)[g] + 0.3 * rng.normal(size=n)
    gam = GAM(formula, select_terms="select" in formula).fit(df)
    terms = velkan._formula.parse_formula(formula).terms
    assert velkan._formula.parse_formula(repr(terms)).terms == terms
    buf = io.BytesIO()
    gam.save(buf)
    for copy in (velkan.load(io.BytesIO(buf.getvalue())), pickle.loads(pickle.dumps(gam))):
        for a, b in zip(gam.predict(df, return_std=True), copy.predict(df, return_std=True)):
            np.testing.assert_array_equal(a, b)
        assert str(copy.summary()) == str(gam.summary())


def greedy_thinned(knots, least):
    """Reference: walk the knots upwards, keeping one when it is at least `least` from the
    one kept before it and from the last knot."""
    kept = [knots[0]]
    for t in knots[1:-1]:
        if t - kept[-1] >= least and knots[-1] - t >= least:
            kept.append(t)
    return np.array(kept + [knots[-1]])


# Default-size quantile knots never lie closer than half the mean gap between distinct
# values: a dense stretch of few rows gets no knot per row, while a column of many more
# values than knots keeps its quantiles. An explicit k keeps every quantile; chunked rows
# place the same knots as rows in memory.
def test_thinned_knots_by_hand():
    # mean gap 1, floor 0.5: 0.1-0.3 crowd the first knot and 9.9 the last.
    u = np.array([0.0, 0.1, 0.2, 0.3, 4.0, 5.0, 6.0, 7.0, 8.0, 9.9, 10.0])
    cr = [b[0] for b in E.bases() if b[2]][0]  # the quantile-knot basis
    np.testing.assert_allclose(E.place_knots(cr, 11, 0.0, 10.0, u, None, default_size=True),
                               [0.0, 4.0, 5.0, 6.0, 7.0, 8.0, 10.0], rtol=1e-14)
    np.testing.assert_allclose(E.place_knots(cr, 11, 0.0, 10.0, u, None), u, rtol=1e-14)


@pytest.mark.parametrize("rows", [40, 2000])
def test_default_quantile_knots_keep_half_the_mean_gap(rng, rows):
    # Dense at the bottom, a sparse tail, and a cluster just below the top.
    x = np.concatenate([rng.uniform(0.0, 1.0, rows - 2 * (rows // 5)), rng.uniform(1.0, 19.0, rows // 5),
                        rng.uniform(19.6, 20.0, rows // 5)])
    y = np.log1p(x) + 0.1 * rng.normal(size=rows)
    X = x[:, None]
    u = np.unique(x)
    k = min(25, u.size)
    quantiles = np.quantile(u, np.linspace(0.0, 1.0, k))

    def knots(gam):
        return np.asarray(gam._fitted.design.spec[1].margins[0].knots)

    default = GAM(s(0)).fit(X, y)
    least = 0.5 * (x.max() - x.min()) / (u.size - 1)
    want = greedy_thinned(quantiles, least)
    np.testing.assert_allclose(knots(default), want, rtol=1e-13)
    assert np.min(np.diff(want)) >= least
    if rows == 40:  # the dense parts lost knots; the sparse tail kept its quantiles
        assert np.sum(want < 1.0) < np.sum(quantiles < 1.0) and np.sum(want > 19.0) < np.sum(quantiles > 19.0)
        assert np.all(np.isin(quantiles[(quantiles > 1.0) & (quantiles < x.max() - least)], want))
    else:
        assert len(want) == k
    chunks = [(X[i:i + rows // 4], y[i:i + rows // 4]) for i in range(0, rows, rows // 4)]
    np.testing.assert_array_equal(knots(GAM(s(0)).fit(chunks)), knots(default))
    np.testing.assert_allclose(knots(GAM(s(0, k=k, bs="cr")).fit(X, y)), quantiles, rtol=1e-13)
    assert default._fitted.design.terms[1].label == repr(s(0, k=len(want), bs="cr"))


# A default basis or size the column cannot hold becomes the model the user could have
# written; an explicit one is refused. (distinct values, default term, the explicit equivalent)
@pytest.mark.parametrize("distinct,default,explicit", [
    (12, lambda: s(0), lambda: s(0, k=12, bs="cr")),
    (2, lambda: s(0), lambda: s(0, k=10, bs="ps")),
    (2, lambda: s(0, k=6), lambda: s(0, k=6, bs="ps")),
    (40, lambda: s(0, 1), lambda: s(0, 1, k=40, bs="tp")),
])
def test_defaults_shrink_to_the_data_and_explicit_sizes_are_refused(rng, distinct, default, explicit):
    n = 400
    X = rng.integers(0, distinct, size=(n, 2)).astype(float)
    if distinct == 40:  # 40 distinct points in the plane
        X = np.repeat(rng.uniform(size=(distinct, 2)), n // distinct, axis=0)
    y = np.sin(X[:, 0]) + 0.1 * rng.normal(size=n)
    a, b = GAM(default()).fit(X, y), GAM(explicit()).fit(X, y)
    np.testing.assert_allclose(a.predict(X), b.predict(X), rtol=1e-10, atol=1e-12)
    assert a.coef_.shape == b.coef_.shape
    # and is reported as that model
    assert [t.label for t in a._fitted.design.terms] == [t.label for t in b._fitted.design.terms]
    term = explicit()
    if term.bs[0] != "ps":
        too_many = s(*term.cols, k=distinct + 1 + 50 * (distinct == 40), bs=term.bs[0])
        with pytest.raises(ValueError, match="distinct"):
            GAM(too_many).fit(X, y)
