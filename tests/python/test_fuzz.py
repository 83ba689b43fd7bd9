"""Generated calls over the whole Python surface in one worker process (a crash fails the
test with the call). Allowed: a result of the documented shape, or TypeError / ValueError /
OverflowError / RuntimeError with a message; on a GAM the borrow flag is free afterwards and
a failed call left earlier results intact. (Calls back into an object: test_reliability.py.)
VELKAN_FUZZ_SCALE multiplies the number of examples (a larger campaign outside CI)."""
import os
import pickle
import select
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

ALLOWED = ("TypeError", "ValueError", "OverflowError", "RuntimeError")
UNGUARDED = ("Not enough memory for this request", "Internal error")  # a guard should have caught it
FITS = ("fit", "fit_auto", "fit_auto_optimized", "fit_formula", "fit_manual")


class Arr:
    """Array values and the layout the worker presents them in."""

    def __init__(self, values, layout):
        self.values, self.layout = values, layout

    def make(self):
        v, flip = self.values, (slice(None, None, -1),) * np.ndim(self.values)
        return {"huge": lambda: np.lib.stride_tricks.as_strided(np.zeros(1), shape=v, strides=(0,) * len(v)),
                "strided": lambda: np.repeat(v, 2, axis=0)[::2], "negative": lambda: v[flip].copy()[flip],
                "unaligned": lambda: unaligned(v), "F": lambda: np.asfortranarray(v),
                "byteswapped": lambda: v.astype(v.dtype.newbyteorder())}.get(self.layout, lambda: v)()


def unaligned(v):
    out = np.frombuffer(bytearray(v.nbytes + 1), v.dtype, v.size, 1).reshape(v.shape)
    out[...] = v
    return out


def worker():
    import faulthandler
    import resource

    import velkan_core as vc
    faulthandler.enable()
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # a missed guard fails fast, not by swapping
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
    proto_in, proto_out = sys.stdin.buffer, os.fdopen(os.dup(1), "wb")
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # diagnostic lines go nowhere
    sys.stdout = open(os.devnull, "w")
    rng = np.random.default_rng(7)
    ref_x = rng.uniform(0, 1, (40, 2))
    ref_y = 0.5 + 0.3 * np.sin(5 * ref_x[:, 0]) * ref_x[:, 1] + rng.uniform(-0.1, 0.1, 40)

    def snapshot(g):
        return [a.tobytes() for a in (g.get_coefficients(), g.get_all_lambdas(), g.get_fitted_values(),
                                      g.get_design_matrix(), g.predict(ref_x))]

    while header := proto_in.read(4):
        fn, state, family, args, kwargs = pickle.loads(proto_in.read(struct.unpack("I", header)[0]))
        if fn == "__abort__":
            os.abort()
        out, gam, before = {"outcome": "ok"}, vc.GAM(family) if state else None, None
        if state == "fitted":
            gam.fit(ref_x, ref_y, k=[5, 5])
            before = snapshot(gam)
        for name, size in [("a", 5), ("b", 6)] if state == "manual" else []:
            gam.add_cubic_spline(name, size, 0.0, 1.0)
        build = lambda a: a.make() if isinstance(a, Arr) else [build(i) for i in a] if isinstance(a, list) else a
        args, kwargs = [build(a) for a in args], {k: build(a) for k, a in kwargs.items()}
        try:
            result = (vc.GAM(*args, **kwargs) if fn == "GAM" else getattr(gam if gam else vc, fn)(*args, **kwargs))
            rows = kwargs.get("x", args[0] if args else None)
            got = result["fitted_values"] if fn in FITS else result if fn == "predict" else None
            if got is not None and (got.shape != (rows.shape[0],) or got.dtype != np.float64):
                out = {"outcome": "bad", "message": f"{fn} gave {got.shape} {got.dtype}"}
        except BaseException as e:  # every kind is reported; the parent judges
            out = {"outcome": "error", "type": type(e).__name__, "message": str(e)}
        if gam is not None:
            try:  # the flag is free again: both a shared and an exclusive method get past it
                gam.get_family()
                gam.add_cubic_spline(None, 5, 0.0, 1.0)
            except TypeError:
                pass
            except Exception as e:
                out = {"outcome": "bad", "message": f"object left busy: {e!r}"}
            if before is not None and out["outcome"] == "error":
                try:
                    if snapshot(gam) != before:
                        out = {"outcome": "bad", "message": "a failed call changed the stored results"}
                except ValueError as e:  # only a rebuilt smooth list may stop predict
                    if fn not in FITS[:4]:
                        out = {"outcome": "bad", "message": f"predict failed after a failed {fn}: {e}"}
        data = pickle.dumps(out)
        proto_out.write(struct.pack("I", len(data)) + data)
        proto_out.flush()


class Worker:
    proc = None

    def run(self, call):
        if self.proc is None or self.proc.poll() is not None:
            env = dict(os.environ, VELKAN_PROFILE="1", VELKAN_GRAD_DEBUG="1", VELKAN_HESS_DEBUG="1",
                       VELKAN_TRACE_DEBUG="1")  # the diagnostic lines are exercised too
            self.proc = subprocess.Popen([sys.executable, "-c", "from tests.python.test_fuzz import worker; worker()"],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                         cwd=os.path.dirname(os.path.dirname(os.path.dirname(__file__))))
        data = pickle.dumps(call)
        try:
            self.proc.stdin.write(struct.pack("I", len(data)) + data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass
        ready = select.select([self.proc.stdout], [], [], 120)[0]
        header = self.proc.stdout.read(4) if ready else b""
        if len(header) == 4:
            return pickle.loads(self.proc.stdout.read(struct.unpack("I", header)[0]))
        self.proc.kill()
        stderr = self.proc.communicate()[1].decode(errors="replace")
        self.proc = None
        pytest.fail(f"worker {'crashed' if ready else 'hung'} on call {call!r}\n{stderr[-3000:]}")

    def stop(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.communicate()


@pytest.fixture(scope="module")
def worker_process():
    yield (w := Worker())
    w.stop()


def judge(worker_process, call):
    out = worker_process.run(call)
    assert out["outcome"] != "bad", f"{out['message']}\ncall: {call!r}"
    if out["outcome"] == "error":
        kind, message = out["type"], out["message"]
        assert kind in ALLOWED and message.strip() and not message.startswith(UNGUARDED), \
            f"{kind}: {message}\ncall: {call!r}"


def examples(n):
    scale = float(os.environ.get("VELKAN_FUZZ_SCALE", "1"))
    return settings(max_examples=max(1, int(n * scale)), deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


# Each argument has a pool of documented values (float64 arrays in every accepted layout,
# with NaN, infinities, huge and tiny numbers among mostly ordinary data) and a pool of
# wrong ones; a call draws which arguments come from the wrong pool: none, one or all.
EDGE = st.sampled_from([0.0, np.nan, np.inf, -np.inf, 1e300, 1e-300, 3.0])
WRONG = st.sampled_from([None, 3, 1.5, "x", b"ab", object(), {"a": 1}, [1.0], [[1.0]]])
EDGE_INTS = [0, 1, 2, 3, 10**4 + 1, 10**9, 2**31, 2**63 - 1, 2**64, -1, -(2**63)]
HUGE = [Arr((10**10, 3), "huge"), Arr((10**10,), "huge"), Arr((3, 10**10), "huge")]


def arrays(shape, good=True):
    values = hnp.arrays(np.float64, shape, elements=st.floats(0, 1),
                        fill=st.one_of(st.floats(0, 1), EDGE))
    if good:
        return st.builds(Arr, values, st.sampled_from(["C", "C", "F", "strided", "negative"]))
    other_dtype = hnp.arrays(st.sampled_from(["f4", "i8", "?", "c16"]), shape)
    other_ndim = hnp.arrays(np.float64, shape[:1] if len(shape) > 1 else shape + (1,))
    return st.one_of(st.builds(Arr, values, st.sampled_from(["unaligned", "byteswapped"])),
                     st.builds(Arr, st.one_of(other_dtype, other_ndim), st.just("C")),
                     st.sampled_from(HUGE), WRONG)


def choice(good, values, wrong):
    return st.sampled_from(values if good else wrong)


def size_item(good, low=4, high=9):
    if good:
        return st.one_of(st.integers(low, high), st.builds(np.int64, st.integers(low, high)))
    return st.sampled_from(EDGE_INTS + [5.0, True, "5", None, np.int8(-5)])


def sizes(d, good):
    if good:
        return st.lists(size_item(True), min_size=d, max_size=d)
    mixed = st.lists(st.one_of(size_item(True), size_item(False)), min_size=d + 1, max_size=d + 1)
    return st.one_of(mixed, st.lists(size_item(True), max_size=d + 2),
                     st.sampled_from([range(10**12), "5,5", 5, None]))


def floats(m, good):
    if good:
        return st.lists(st.floats(1e-3, 1e3), min_size=m, max_size=m)
    item = st.one_of(st.floats(), st.sampled_from([10**400, "1.0", None]))
    return st.one_of(st.lists(item, min_size=m, max_size=m + 1), st.just(range(10**12)))


def bound(lo, hi):
    return lambda g: st.floats(lo, hi) if g else floats(1, False).map(
        lambda v: v[0] if isinstance(v, list) and v else v)


def formula(d):
    term = st.builds("s({}, k={})".format, st.integers(0, max(d - 1, 0)), st.integers(4, 8))
    wild = st.builds("s({}, k={})".format, st.sampled_from(["-1", "99999999999999999999", "x"]),
                     st.sampled_from(["0", "3", "10001", "18446744073709551616", "5.5"]))
    return lambda g: st.lists(term, min_size=1, max_size=3).map(" + ".join) if g else st.one_of(
        st.lists(st.one_of(term, wild), max_size=4).map(" + ".join), st.text(max_size=30), WRONG)


METHOD = lambda g: choice(g, ["REML", "GCV"], ["reml", "", "REML\x00", "\udc80", b"REML", 1, None])
BASIS = lambda g: choice(g, ["bs", "cr", None], ["CR", "tps", 0])
MAX_ITER = lambda g: choice(g, [None, 0, 1, 3], EDGE_INTS + [5.0, "3", True])
FAMILY = st.sampled_from([None, "gaussian", "binomial", "poisson", "gamma"])
GETTERS = ["get_lambda", "get_all_lambdas", "get_fitted_values", "get_family",
           "get_coefficients", "get_design_matrix"]


def signatures(n, d, m, k):
    """name: (parameters, their pools, how many are required, whether a GAM method)."""
    x, y = (lambda g: arrays((n, d), g)), (lambda g: arrays((n,), g))
    fit = (["x", "y", "k", "method", "bs", "max_iter"],
           [x, y, lambda g: sizes(d, g), METHOD, BASIS, MAX_ITER])
    pens = lambda g: st.lists(arrays((d, d), g), min_size=m, max_size=m)
    reml = (["y", "x", "w", "lambdas", "penalties"], [y, x, y, lambda g: floats(m, g), pens], 5, False)
    table = {
        "fit": (*fit, 3, True), "fit_auto": (*fit, 6, True), "fit_auto_optimized": (*fit, 4, True),
        "fit_formula": (["x", "y", "formula", "method", "max_iter"],
                        [x, y, formula(d), METHOD, MAX_ITER], 5, True),
        "fit_manual": (["x", "y", "method", "max_iter"], [x, y, METHOD, MAX_ITER], 4, True),
        "predict": (["x"], [lambda g: arrays((n, 2 if d == 0 else d), g)], 1, True),
        "add_cubic_spline": (["var_name", "num_basis", "x_min", "x_max"],
                             [lambda g: st.text(max_size=5) if g else WRONG,
                              lambda g: size_item(g, 2, 12), bound(-1, 0.4), bound(0.6, 2)], 4, True),
        "GAM": (["family"], [lambda g: FAMILY if g else st.one_of(st.text(max_size=8), WRONG)], 0,
                False),
        "compute_penalty_matrix": (
            ["basis_type", "num_basis", "knots"],
            [lambda g: choice(g, ["cr", "cubic_regression", "cubic", "tps", "thin_plate"],
                              ["bs", "", None]),
             lambda g: st.just(k) if g else size_item(False), lambda g: arrays((k,), g)], 3, False),
        "evaluate_gradient": (["x", "y", "lambdas", "k_values"],
                              [x, y, lambda g: floats(d, g), lambda g: sizes(d, g)], 4, False),
        "reml_gradient_multi_qr_py": reml, "reml_hessian_multi_qr_py": reml,
        "newton_pirls_py": (
            reml[0][:3] + ["initial_log_lambda", "penalties", "max_iter", "grad_tol", "verbose"],
            reml[1][:3] + [lambda g: arrays((m,), g), pens,
                           lambda g: choice(g, [None, 5, 0], [-1, 2**64, 5.0, "3"]),
                           lambda g: choice(g, [None, 1e-6], [np.nan, "1", -1.0]),
                           lambda g: choice(g, [None, False, True], [1, "yes"])], 8, False),
    }
    for getter in GETTERS:
        table[getter] = ([], [], 0, True)
    return table


@st.composite
def calls(draw, names):
    """Arguments from the good or wrong pools; the required ones always passed, the rest
    maybe left out; a random tail by keyword."""
    fn = draw(st.sampled_from(names))
    n, d = draw(st.sampled_from([0, 1, 3, 8, 40, 60, 60])), draw(st.sampled_from([0, 1, 2, 2, 3]))
    params, makers, required, method = signatures(n, d, draw(st.sampled_from([0, 1, 1, 2])),
                                                  draw(st.integers(0, 8)))[fn]
    wrong = draw(st.sampled_from([None, None, None, "all"] + list(range(len(params)))))
    specs = [draw(make(wrong not in ("all", i))) for i, make in enumerate(makers)]
    keep = draw(st.integers(required, len(params)))
    cut = draw(st.integers(0, keep))
    state = draw(st.sampled_from(["fresh", "fitted", "manual"])) if method else None
    family = draw(FAMILY) if method else None
    args = specs[:cut] + ([1] if fn in GETTERS and draw(st.integers(0, 3)) == 0 else [])
    return fn, state, family, args, dict(zip(params[cut:keep], specs[cut:keep]))


@pytest.mark.parametrize("names, count", [
    (FITS, 400), (("GAM", "add_cubic_spline", "predict", "predict", *GETTERS), 250),
    (("compute_penalty_matrix", "evaluate_gradient", "reml_gradient_multi_qr_py",
      "reml_hessian_multi_qr_py", "newton_pirls_py"), 300),
], ids=["fits", "object", "module"])
def test_generated_calls(worker_process, names, count):
    examples(count)(given(call=calls(names))(lambda call: judge(worker_process, call)))()


def test_a_dying_worker_fails_the_test_with_the_call():
    w = Worker()
    try:
        with pytest.raises(pytest.fail.Exception, match=r"worker crashed on call .*__abort__"):
            w.run(("__abort__", None, None, [], {}))
        assert w.run(("get_family", "fresh", None, [], {}))["outcome"] == "ok"  # a fresh worker
    finally:
        w.stop()
