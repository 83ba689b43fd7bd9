"""Reliability of the Python surface: requests too large for the machine are refused before
anything is allocated, failed calls leave earlier results intact, re-entrant and concurrent
use of one object is refused cleanly, separate objects fit the same in threads, and long
runs of fits leak no memory."""
import json
import os
import sys
import threading

import numpy as np
import pytest

from tests.helpers import run_python
from velkan_core import GAM

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
N = 60


@pytest.fixture
def data(rng):
    x = rng.uniform(size=(N, 2))
    y = np.sin(2 * np.pi * x[:, 0]) + x[:, 1] + 0.2 * rng.standard_normal(N)
    return x, y


def snapshot(g):
    return [a.tobytes() for a in (g.get_coefficients(), g.get_all_lambdas(),
                                  g.get_fitted_values(), g.get_design_matrix())]


# ---- requests too large for the machine -----------------------------------------------

# Each runs in its own interpreter whose address space is capped at 4 GB (not under ASan,
# whose shadow memory needs far more), so a missing guard shows as a MemoryError, an
# allocation failure or a dead process instead of a swapping machine.
GUARD_PREAMBLE = """
import os, resource
if "libasan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
import numpy as np
from numpy.lib.stride_tricks import as_strided
import velkan_core as vc
rng = np.random.default_rng(1)
x = rng.uniform(0, 1, (50, 5))
y = rng.uniform(0, 1, 50)
def huge(*shape):  # a view of any size over one element
    return as_strided(np.zeros(1), shape=shape, strides=(0,) * len(shape))
def manual(count, size):
    g = vc.GAM()
    for j in range(count):
        g.add_cubic_spline(f"a{j}", size, 0.0, 1.0)
    return g
fitted = vc.GAM()
fitted.fit(x, y, k=[5] * 5)
try:
    CALL
except BaseException as e:
    print(type(e).__name__ + ": " + str(e))
else:
    print("no exception")
"""
PENALTIES_TOO_LARGE = ("Invalid parameter: penalties of 50000 x 50000 (5 of them) and the "
                       "solver's work matrices do not fit in this machine's memory")


def design_too_large(n, p):
    return f"Invalid parameter: a design of {n} rows and {p} columns does not fit in this " \
           "machine's memory"


BASIS_LIMIT = "Invalid parameter: Number of basis functions (1000000000) exceeds the supported"


@pytest.mark.parametrize("call, message", [
    ("vc.GAM().fit(x[:, :1], y, k=[10**9])", BASIS_LIMIT),
    ("vc.GAM().add_cubic_spline('a', 10**9, 0, 1)", BASIS_LIMIT),
    ("vc.evaluate_gradient(x, y, [1.0], [10**9])", BASIS_LIMIT),
    ("vc.compute_penalty_matrix('tps', 10**9, np.linspace(0, 1, 5))",
     "num_basis = 1000000000 asks for a penalty matrix too large for this machine's memory"),
    # Sizes each allowed on its own, together far beyond memory.
    ("vc.GAM().fit(x, y, k=[10000] * 5)", PENALTIES_TOO_LARGE),
    ("vc.GAM().fit_formula(x, y, ' + '.join(f's({j}, k=10000)' for j in range(5)), 'REML', "
     "None)", PENALTIES_TOO_LARGE),
    ("vc.evaluate_gradient(x, y, [1.0] * 5, [10000] * 5)", PENALTIES_TOO_LARGE),
    # Rows beyond memory, passed as views that hold one element.
    ("vc.GAM().fit(huge(10**10, 3), huge(10**10), k=[5, 5, 5])",
     design_too_large(10000000000, 15)),
    ("vc.GAM().fit_formula(huge(10**10, 3), huge(10**10), 's(2, k=6)', 'GCV', None)",
     design_too_large(10000000000, 6)),
    ("manual(1, 5).fit_manual(huge(10**10, 1), huge(10**10), 'REML', None)",
     design_too_large(10000000000, 5)),
    ("vc.GAM().fit(huge(2 * 10**9, 0), huge(2 * 10**9), k=[])",
     design_too_large(2000000000, 0)),
    ("fitted.predict(huge(10**10, 5))", design_too_large(10000000000, 25)),
    ("vc.evaluate_gradient(huge(10**10, 1), huge(10**10), [1.0], [5])",
     design_too_large(10000000000, 5)),
    ("vc.reml_hessian_multi_qr_py(huge(10**10), huge(10**10, 2), huge(10**10), [1.0], "
     "[np.eye(2)])", "Hessian computation failed: Invalid parameter: a design of 10000000000"),
    ("vc.reml_gradient_multi_qr_py(y, x, np.ones(50), [1.0] * 3, [huge(40000, 40000)] * 3)",
     "reml_gradient_multi_qr_py() argument 'penalties' holds arrays too large to copy"),
    ("vc.newton_pirls_py(y, huge(50, 40000), np.ones(50), np.zeros(1), [huge(4000, 4000)], "
     "None, None, None)", "Newton-PIRLS optimization failed: Invalid parameter: penalties of "
     "40000 x 40000 (1 of them)"),
    # Sequences whose snapshot alone would exhaust memory.
    ("vc.GAM().fit(x, y, k=range(10**9))",
     "fit() argument 'k' has 1000000000 items, too many for this machine's memory"),
    ("vc.evaluate_gradient(x, y, range(10**12), [5])",
     "evaluate_gradient() argument 'lambdas' has 1000000000000 items, too many"),
])
def test_oversized_requests_refused_before_allocating(call, message):
    proc = run_python(GUARD_PREAMBLE.replace("CALL", call), timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.startswith("ValueError: " + message), proc.stdout


def test_guard_refuses_before_the_smooth_list_changes(data):
    x, y = data
    g = GAM()
    g.fit(x, y, k=[5, 5])
    before, prediction = snapshot(g), g.predict(x)
    wide = np.tile(x, (1, 3))[:, :5]
    with pytest.raises(ValueError, match="solver's work matrices do not fit"):
        g.fit(wide, y, k=[10000] * 5)
    assert snapshot(g) == before
    np.testing.assert_array_equal(g.predict(x), prediction)


# ---- failed calls leave earlier results intact ----------------------------------------

class Raising:
    """An integer whose conversion fails with the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


# name: (call on a model fitted by fit(x, y, k=[5, 5]), exception, whether predict still
# works: it stops, with ValueError, exactly when the failing call had rebuilt the smooths)
FAILURES = {
    "x-as-list": (lambda g, x, y: g.fit(x.tolist(), y, k=[5, 5]), TypeError, True),
    "k-str": (lambda g, x, y: g.fit(x, y, k="55"), TypeError, True),
    "k-negative": (lambda g, x, y: g.fit(x, y, k=[-1, 5]), OverflowError, True),
    "index-raises": (lambda g, x, y: g.fit(x, y, k=[Raising(RuntimeError("inner")), 5]),
                     RuntimeError, True),
    "k-length": (lambda g, x, y: g.fit(x, y, k=[5]), ValueError, True),
    "k-too-large": (lambda g, x, y: g.fit(x, y, k=[10**9, 5]), ValueError, False),
    "method": (lambda g, x, y: g.fit(x, y, k=[5, 5], method="reml"), ValueError, False),
    "nan-y": (lambda g, x, y: g.fit(x, np.full_like(y, np.nan), k=[5, 5]), ValueError, False),
    "singular": (lambda g, x, y: g.fit(x[:3], y[:3], k=[5, 5]), ValueError, False),
    "gcv-two-smooths": (lambda g, x, y: g.fit(x, y, k=[5, 5], method="GCV"), ValueError,
                        False),
    "formula-syntax": (lambda g, x, y: g.fit_formula(x, y, "s(0, k=5", "REML", None),
                       ValueError, True),
    "manual-rows": (lambda g, x, y: g.fit_manual(x, y[1:], "REML", None), ValueError, True),
    "spline-size": (lambda g, x, y: g.add_cubic_spline("c", 3, 0.0, 1.0), ValueError, True),
    "predict-columns": (lambda g, x, y: g.predict(x[:, :1]), ValueError, True),
    "predict-dtype": (lambda g, x, y: g.predict(x.astype(np.float32)), TypeError, True),
}


@pytest.mark.parametrize("name", FAILURES)
def test_failed_call_keeps_results_and_object_usable(name, data):
    x, y = data
    call, exc, predict_works = FAILURES[name]
    g = GAM()
    g.fit(x, y, k=[5, 5])
    before, prediction = snapshot(g), g.predict(x)
    with pytest.raises(exc) as info:
        call(g, x, y)
    assert type(info.value) is exc and str(info.value)
    assert snapshot(g) == before
    if predict_works:
        np.testing.assert_array_equal(g.predict(x), prediction)
    else:
        with pytest.raises(ValueError, match="^Matrix dimension mismatch: "):
            g.predict(x)
    # The object is free and whole: a new fit gives what a fresh object gives.
    fresh = GAM()
    fresh.fit(x, y, k=[5, 5])
    g.fit(x, y, k=[5, 5])
    assert snapshot(g) == snapshot(fresh)


# ---- re-entrant use of one object -----------------------------------------------------

def inner_calls(g, x, y):
    """Every method of GAM, as a call that would succeed on a free fitted object."""
    return {
        "fit": lambda: g.fit(x, y, k=[5, 5]),
        "fit_auto": lambda: g.fit_auto(x, y, [5, 5], "REML", None, None),
        "fit_auto_optimized": lambda: g.fit_auto_optimized(x, y, [5, 5], "REML"),
        "fit_formula": lambda: g.fit_formula(x, y, "s(0, k=5) + s(1, k=5)", "REML", None),
        "fit_manual": lambda: g.fit_manual(x, y, "REML", None),
        "add_cubic_spline": lambda: g.add_cubic_spline("c", 5, 0.0, 1.0),
        "predict": lambda: g.predict(x),
        "get_lambda": lambda: g.get_lambda(),
        "get_all_lambdas": lambda: g.get_all_lambdas(),
        "get_fitted_values": lambda: g.get_fitted_values(),
        "get_family": lambda: g.get_family(),
        "get_coefficients": lambda: g.get_coefficients(),
        "get_design_matrix": lambda: g.get_design_matrix(),
    }


READERS = {"predict", "get_lambda", "get_all_lambdas", "get_fitted_values", "get_family",
           "get_coefficients", "get_design_matrix"}


def refusal(name):
    return "Already mutably borrowed" if name in READERS else "Already borrowed"


class CallsBack:
    """A number whose conversion first runs `inner`; with `swallow` the inner exception is
    recorded and the outer call goes on, otherwise it propagates to the outer call."""

    def __init__(self, value, inner, swallow=True):
        self.value, self.inner, self.swallow = value, inner, swallow
        self.seen = []

    def _run(self):
        try:
            self.inner()
            self.seen.append("completed")
        except RuntimeError as e:
            self.seen.append(str(e))
            if not self.swallow:
                raise

    def __index__(self):
        self._run()
        return self.value

    def __float__(self):
        self._run()
        return float(self.value)


@pytest.mark.parametrize("inner", sorted(inner_calls(None, None, None)))
def test_call_back_from_a_k_item_is_refused(inner, data):
    # fit holds the object exclusively while it converts k; the outer fit then completes.
    x, y = data
    g = GAM()
    g.fit(x, y, k=[6, 6])
    item = CallsBack(5, inner_calls(g, x, y)[inner])
    result = g.fit(x, y, k=[item, 5])
    assert item.seen == [refusal(inner)]
    fresh = GAM()
    np.testing.assert_array_equal(result["fitted_values"],
                                  fresh.fit(x, y, k=[5, 5])["fitted_values"])
    assert snapshot(g) == snapshot(fresh)


def test_inner_refusal_propagating_ends_the_outer_call_cleanly(data):
    x, y = data
    g = GAM()
    g.fit(x, y, k=[5, 5])
    before = snapshot(g)
    item = CallsBack(5, lambda: g.fit(x, y, k=[5, 5]), swallow=False)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        g.fit(2 * x, y, k=[item, 5])
    assert snapshot(g) == before
    g.add_cubic_spline("c", 5, 0.0, 1.0)  # the flag is free again


def test_call_back_from_a_float_in_add_cubic_spline(data):
    x, y = data
    g = GAM()
    g.fit(x, y, k=[5, 5])
    bound = CallsBack(0.0, g.get_lambda)
    assert g.add_cubic_spline("c", 5, bound, 1.0) is None
    assert bound.seen == ["Already mutably borrowed"]
    with pytest.raises(ValueError, match="X has 2 columns but model has 3 smooth terms"):
        g.predict(x)  # the spline was appended


class CallingBackStdout:
    """Stands in for sys.stdout: each diagnostic line written during a fit calls back."""

    def __init__(self, calls):
        self.calls, self.seen, self.lines = calls, set(), 0

    def write(self, text):
        self.lines += 1
        for name, call in self.calls.items():
            try:
                call()
                self.seen.add((name, "completed"))
            except RuntimeError as e:
                self.seen.add((name, str(e)))
        return len(text)

    def flush(self):
        pass


def test_diagnostic_line_calling_back_during_the_numerical_work(data, monkeypatch):
    # The cached fit prints its "[PROFILE]" lines through sys.stdout while it holds the
    # object: calls made from there are refused like those from argument conversion.
    x, y = data
    g = GAM()
    calls = inner_calls(g, x, y)
    out = CallingBackStdout({k: calls[k] for k in ("predict", "get_coefficients", "fit")})
    monkeypatch.setenv("VELKAN_PROFILE", "1")
    monkeypatch.setattr(sys, "stdout", out)
    result = g.fit(x, y, k=[5, 5])
    monkeypatch.undo()
    assert out.lines > 0
    assert out.seen == {(k, refusal(k)) for k in ("predict", "get_coefficients", "fit")}
    np.testing.assert_array_equal(result["fitted_values"], g.get_fitted_values())


def test_other_thread_meets_a_busy_object(data):
    # While one thread's fit waits in Python code (a k item), another thread calling into
    # the same object is refused at once instead of waiting or seeing half-changed state.
    x, y = data
    g = GAM()
    g.fit(x, y, k=[5, 5])
    entered, release = threading.Event(), threading.Event()

    class Waits:
        def __index__(self):
            entered.set()
            release.wait(30)
            return 5

    results = {}
    worker = threading.Thread(target=lambda: results.update(fit=g.fit(x, y, k=[Waits(), 6])))
    worker.start()
    try:
        assert entered.wait(30)
        seen = {}
        for name, call in inner_calls(g, x, y).items():
            try:
                call()
                seen[name] = "completed"
            except RuntimeError as e:
                seen[name] = str(e)
    finally:
        release.set()
        worker.join(60)
    assert seen == {name: refusal(name) for name in seen}
    assert "fit" in results  # the waiting fit completed
    fresh = GAM()
    fresh.fit(x, y, k=[5, 6])
    assert snapshot(g) == snapshot(fresh)


RESIZE_PREAMBLE = """
import numpy as np
import velkan_core as vc
rng = np.random.default_rng(0)
x = rng.uniform(size=(2000, 2))
y = rng.uniform(size=2000)

class Resizes:
    # Converting this number reallocates x's buffer and reuses the freed memory.
    def __init__(self, value):
        self.value = value
    def _resize(self):
        x.resize((1, 1), refcheck=False)
        np.zeros((3000, 3000))
    def __index__(self):
        self._resize()
        return self.value
    def __float__(self):
        self._resize()
        return float(self.value)

def manual():
    g = vc.GAM()
    g.add_cubic_spline("a", 5, 0.0, 1.0)
    g.add_cubic_spline("b", 5, 0.0, 1.0)
    return g
try:
    CALL
except ValueError as e:
    print(e)
"""


@pytest.mark.parametrize("call, message", [
    ("vc.GAM().fit(x, y, k=[Resizes(5), 5])", "k length (2) must match number of columns (1)"),
    ("manual().fit_manual(x, y, 'REML', Resizes(3))",
     "Matrix dimension mismatch: X has 1 rows but y has 2000 elements"),
    ("vc.evaluate_gradient(x, y, [1.0, 1.0], [5, Resizes(5)])",
     "k_values has 2 entries but x has only 1 columns"),
    ("vc.reml_gradient_multi_qr_py(y, x, np.ones(2000), [Resizes(1.0)], [np.eye(2)])",
     "Gradient computation failed: Matrix dimension mismatch: X has 1 rows"),
    ("vc.newton_pirls_py(y, x, np.ones(2000), np.zeros(1), [np.eye(2)], Resizes(3), None, "
     "None)", "Newton-PIRLS optimization failed: Matrix dimension mismatch: X has 1 rows"),
])
def test_arrays_read_after_argument_code_that_resizes_them(call, message):
    # Arrays are viewed only once every other argument is converted: an argument whose
    # conversion resizes an input array is seen as the resized array, never as freed memory.
    proc = run_python(RESIZE_PREAMBLE.replace("CALL", call), timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.startswith(message), proc.stdout


# ---- threads --------------------------------------------------------------------------

def thread_jobs(rng):
    """Fits of different data, methods and families."""
    jobs = []
    for i in range(12):
        x = rng.uniform(size=(80, 2))
        eta = np.sin(2 * np.pi * x[:, 0]) + x[:, 1]
        family, y = [("gaussian", eta + 0.3 * rng.standard_normal(80)),
                     ("poisson", rng.poisson(np.exp(eta)).astype(float)),
                     ("binomial", (rng.uniform(size=80) < 1 / (1 + np.exp(-eta))) * 1.0)][i % 3]
        jobs.append((family, ["fit", "fit_auto", "fit_formula", "fit_manual"][i % 4], x, y))
    return jobs


def run_job(job):
    family, method, x, y = job
    g = GAM(family)
    if method == "fit":
        g.fit(x, y, k=[6, 5])
    elif method == "fit_auto":
        g.fit_auto(x, y, [6, 5], "REML", "cr", None)
    elif method == "fit_formula":
        g.fit_formula(x, y, "s(0, k=6) + s(1, k=5)", "REML", None)
    else:
        g.add_cubic_spline("a", 6, 0.0, 1.0)
        g.add_cubic_spline("b", 5, 0.0, 1.0)
        g.fit_manual(x, y, "REML", None)
    return [g.get_coefficients(), g.get_all_lambdas(), g.get_fitted_values(), g.predict(x[::3])]


def run_threads(count, work):
    errors = []

    def guarded(t):
        try:
            work(t)
        except Exception as e:  # reported with the thread's number
            errors.append((t, e))

    threads = [threading.Thread(target=guarded, args=(t,)) for t in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors


def test_threads_fitting_separate_objects_match_one_thread(rng):
    jobs = thread_jobs(rng)
    serial = [run_job(job) for job in jobs]
    threaded = [None] * len(jobs)

    def work(t):
        for i in range(t, len(jobs), 4):
            threaded[i] = run_job(jobs[i])

    run_threads(4, work)
    for one, many in zip(serial, threaded):
        for a, b in zip(one, many):
            np.testing.assert_array_equal(a, b)


def test_threads_sharing_one_object_are_refused_not_corrupted(data):
    # Fits run without the interpreter lock, so a call from another thread can find the
    # object busy: it is refused at once, and the object still ends as one whole fit.
    x, y = data
    g = GAM()
    busy = ("Already borrowed", "Already mutably borrowed")

    def work(t):
        for _ in range(5):
            for call in (lambda: g.fit(x, y, k=[5, 5]), lambda: g.predict(x), g.get_coefficients):
                try:
                    call()
                except RuntimeError as e:
                    assert str(e) in busy
                except ValueError as e:  # predict before any fit has completed
                    assert "not been fitted" in str(e)

    run_threads(4, work)
    g.fit(x, y, k=[5, 5])
    fresh = GAM()
    fresh.fit(x, y, k=[5, 5])
    assert snapshot(g) == snapshot(fresh)


# ---- memory over many calls -----------------------------------------------------------

LEAK_SCRIPT = """
import gc, json, sys, tracemalloc
import numpy as np
import velkan_core as vc

def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

rng = np.random.default_rng(3)
x = rng.uniform(size=(40, 2))
y = np.sin(6 * x[:, 0]) + x[:, 1] + 0.2 * rng.standard_normal(40)
k = [6, 5]
x4 = rng.uniform(size=(40, 4))
pen = [np.eye(4), np.diag([0.0, 1.0, 1.0, 0.0])]
inputs = (x, y, k, x4, pen)
# The result dictionaries' keys are interned strings; held here, they are not created and
# freed on every call, which would grow the interpreter's table of them in steps.
keys = [sys.intern(s) for s in ("lambda", "all_lambdas", "deviance", "fitted_values", "fitted")]
failing = [lambda g: g.fit(x, y[:-1], k), lambda g: g.fit(x.tolist(), y, k),
           lambda g: g.fit(x, y, [5]), lambda g: g.predict(x[:, :1]),
           lambda g: g.fit(x, y, k, method="GCV"), lambda g: g.fit(x, y, [-1, 5])]

def module_functions():
    vc.compute_penalty_matrix("cr", 6, np.linspace(0, 1, 6))
    vc.evaluate_gradient(x, y, [1.0, 1.0], k)
    vc.reml_gradient_multi_qr_py(y, x4, np.ones(40), [1.0, 0.5], pen)
    vc.reml_hessian_multi_qr_py(y, x4, np.ones(40), [1.0, 0.5], pen)
    vc.newton_pirls_py(y, x4, np.ones(40), np.zeros(2), pen, 3, None, None)

def one_round(i):
    g = vc.GAM("poisson" if i % 2 else None)
    yy = np.exp(y / 3) if i % 2 else y
    if i % 4 == 0:
        g.fit(x, yy, k)
    elif i % 4 == 1:
        g.fit_auto(x, yy, k, "REML", "cr", None)
    elif i % 4 == 2:
        g.fit_formula(x, yy, "s(0, k=6) + s(1, k=5)", "REML", None)
    else:
        g.add_cubic_spline("a", 6, 0.0, 1.0)
        g.add_cubic_spline("b", 5, 0.0, 1.0)
        g.fit_manual(x, yy, "REML", None)
    g.predict(x)
    g.get_design_matrix()
    try:
        failing[i % len(failing)](g)
    except (ValueError, TypeError, OverflowError):
        pass
    if i % 10 == 0:
        module_functions()

for i in range(50):  # warm-up: lazily created objects, allocator pools
    one_round(i)
gc.collect()
refs_before = [sys.getrefcount(o) for o in inputs]
tracemalloc.start()
first = tracemalloc.take_snapshot()
rss_before = rss_kb()
for i in range(ROUNDS):
    one_round(i)
gc.collect()
rss_after = rss_kb()
second = tracemalloc.take_snapshot()
tracemalloc.stop()
growth = sum(s.size_diff for s in second.compare_to(first, "filename"))
print(json.dumps({"rounds": ROUNDS, "rss_before_kb": rss_before, "rss_after_kb": rss_after,
                  "python_growth_bytes": growth, "refs_before": refs_before,
                  "refs_after": [sys.getrefcount(o) for o in inputs]}))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator holds freed memory back")
def test_thousand_fits_and_predicts_leak_nothing():
    proc = run_python(LEAK_SCRIPT.replace("ROUNDS", "1000"), timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    figures = json.loads(proc.stdout)
    assert figures["refs_after"] == figures["refs_before"], figures
    # Python-level objects: only what the interpreter's own caches may keep.
    assert figures["python_growth_bytes"] < 64 * 1024, figures
    # Native memory: a lost vector of the smallest size per call would add megabytes.
    assert figures["rss_after_kb"] - figures["rss_before_kb"] < 2048, figures
