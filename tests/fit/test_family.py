import math

import numpy as np
import pytest

import _velkan_testing as t

FAMILIES = ["gaussian", "binomial", "poisson", "gamma"]


def one(fn, family, value):
    return fn(family, np.array([value]))[0]


# (function, family, argument, expected): the clamps, floors and special points.
SCALAR_CASES = [
    (t.fit_linkinv, "binomial", 25.0, 1 / (1 + math.exp(-20))),
    (t.fit_linkinv, "binomial", -25.0, 1 / (1 + math.exp(20))),
    (t.fit_linkinv, "binomial", 0.0, 0.5), (t.fit_linkinv, "poisson", 30.0, math.exp(20)),
    (t.fit_linkinv, "poisson", -800.0, 0.0),  # no lower cap
    (t.fit_linkinv, "gamma", 0.0, 1e10), (t.fit_linkinv, "gamma", 5e-11, 1e10),
    (t.fit_linkinv, "gamma", -2.0, -0.5),
    (t.fit_mu_eta, "poisson", 30.0, math.exp(30)),  # derivative is not capped
    (t.fit_mu_eta, "binomial", 25.0, (1 / (1 + math.exp(-20))) * (1 - 1 / (1 + math.exp(-20)))),
    (t.fit_mu_eta, "gamma", 0.5, -4.0), (t.fit_variance, "binomial", 0.25, 0.1875),
    (t.fit_variance, "poisson", 3.0, 3.0), (t.fit_variance, "gamma", 3.0, 9.0),
    (t.fit_initial_eta, "binomial", 1.0, math.log(0.99 / 0.01)),
    (t.fit_initial_eta, "binomial", 0.0, math.log(0.01 / 0.99)),
    (t.fit_initial_eta, "binomial", 0.5, 0.0), (t.fit_initial_eta, "poisson", 0.0, math.log(0.1)),
    (t.fit_initial_eta, "gamma", 0.0, 10.0), (t.fit_initial_eta, "gamma", 4.0, 0.25),
]


@pytest.mark.parametrize("fn,family,arg,expected", SCALAR_CASES,
                         ids=lambda v: getattr(v, "__name__", None))
def test_scalar_values(fn, family, arg, expected):
    assert one(fn, family, arg) == pytest.approx(expected, rel=1e-14, abs=0)


class TestWorkingWeight:
    def test_gaussian_weights_are_exactly_one(self):
        eta = np.array([-1e6, -3.0, 0.0, 2.5, 1e6])
        assert np.all(t.fit_working_weight("gaussian", eta, eta) == 1.0)

    def test_binomial_weight_at_zero(self):
        assert t.fit_working_weight("binomial", np.array([0.0]), np.array([0.5]))[0] == 0.25

    def test_floors(self):
        # Variance floor: a binomial mean of exactly 1 has variance 0, floored to 1e-10.
        g = 0.25 ** 2
        assert t.fit_working_weight("binomial", np.array([0.0]), np.array([1.0]))[0] == \
            pytest.approx(g / 1e-10)
        # Weight floor: poisson at eta = -40 has exp(-40)^2 / exp(-40) < 1e-10.
        assert t.fit_working_weight("poisson", np.array([-40.0]), np.array([math.exp(-40)]))[0] \
            == 1e-10
        # Poisson weight beyond the cap: exp(eta)^2 / exp(20).
        w = t.fit_working_weight("poisson", np.array([30.0]), np.array([math.exp(20)]))[0]
        assert w == pytest.approx(math.exp(40), rel=1e-12)

    @pytest.mark.parametrize("family", FAMILIES)
    def test_nan_is_not_turned_into_a_valid_weight(self, family):
        nan = np.array([np.nan])
        assert np.isnan(t.fit_linkinv(family, nan)[0])
        if family != "gaussian":
            assert np.isnan(t.fit_working_weight(family, nan, nan)[0])


DEVIANCE_CASES = [
    ("binomial", [0.0, 1.0], [0.5, 0.5], 4 * math.log(2)),
    ("binomial", [0.25], [0.5], 2 * (0.25 * math.log(0.5) + 0.75 * math.log(1.5))),
    ("binomial", [1.5, -0.5], [0.3, 0.3], 0.0),  # outside [0, 1]: nothing
    ("binomial", [1.0], [0.0], 2 * math.log(1e10)),  # mean floored at 1e-10
    ("poisson", [0.0], [2.0], 4.0), ("poisson", [3.0], [2.0], 2 * (3 * math.log(1.5) - 1)),
    ("poisson", [1.0], [0.0], 2 * (math.log(1e10) - (1 - 1e-10))),
    ("gamma", [2.0], [1.0], 2 * (1.0 - math.log(2.0))),
    ("gaussian", [1.0, -2.0], [-1.0, -4.5], 4.0 + 6.25),
]


@pytest.mark.parametrize("family,y,mu,expected", DEVIANCE_CASES)
def test_deviance(family, y, mu, expected):
    got = t.fit_deviance(family, np.array(y), np.array(mu))
    assert got == pytest.approx(expected, rel=1e-13, abs=1e-15)
