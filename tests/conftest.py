import numpy as np
import pytest

import velkan_core  # noqa: F401  (fails loudly if the extension is missing)
import _velkan_testing  # noqa: F401


@pytest.fixture
def rng():
    return np.random.default_rng(20261206)
