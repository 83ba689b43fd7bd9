"""Generated calls over the whole Python surface, run in a worker process.

Every call is described by a JSON-able spec (argument shapes, dtypes, layouts, fills,
wrong kinds, numbers at the edges of their types, formula strings) and executed by a
worker interpreter, so that a crash of the extension fails the test with the offending
call instead of killing pytest. Allowed outcomes: a result of the documented shape, or
TypeError / ValueError / OverflowError / RuntimeError with a non-empty message. After
each call on a GAM the worker checks that the object is consistent: its borrow flag is
free, and a failed call left an earlier fit's results and predictions untouched.

VELKAN_FUZZ_SCALE multiplies the number of examples (a larger campaign outside CI);
VELKAN_FUZZ_REPORT names a JSON file that receives the totals.
"""
import json
import math
import os
import select
import subprocess
import sys
import time

ALLOWED = ("TypeError", "ValueError", "OverflowError", "RuntimeError")
# Marks of a failure that a guard should have caught before it happened.
UNGUARDED = ("Not enough memory for this request", "Internal error")
CALL_TIMEOUT_S = 120.0


# ---------------------------------------------------------------------------------------
# Worker side: builds arguments from specs and runs the calls.
# ---------------------------------------------------------------------------------------

def _worker_main():
    import faulthandler
    import resource

    import numpy as np

    faulthandler.enable()  # a crash prints the native traceback to stderr
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        # An unguarded huge allocation fails quickly instead of swapping the machine.
        limit = 8 << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    # The protocol keeps the real stdout; diagnostic lines and verbose output go nowhere.
    proto = os.fdopen(os.dup(1), "w", buffering=1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    sys.stdout = open(os.devnull, "w")

    import velkan_core as vc

    # A reference problem every family can fit: responses strictly inside (0, 1).
    ref_rng = np.random.default_rng(7)
    ref_x = ref_rng.uniform(0, 1, (40, 2))
    ref_y = 0.5 + 0.3 * np.sin(5 * ref_x[:, 0]) * ref_x[:, 1] + ref_rng.uniform(-0.1, 0.1, 40)

    def make_array(spec):
        shape = tuple(spec["shape"])
        rng = np.random.default_rng(spec["seed"])
        fill = spec["fill"]
        vals = rng.normal(size=shape)
        vals = {"zeros": lambda: np.zeros(shape), "ones": lambda: np.ones(shape),
                "uniform": lambda: rng.uniform(0, 1, shape),
                "integers": lambda: rng.integers(-3, 4, shape).astype(float),
                "huge": lambda: vals * 1e300, "tiny": lambda: vals * 1e-300}.get(
            fill, lambda: vals)()
        if fill in ("nan", "inf", "-inf") and vals.size:
            mask = rng.random(shape) < 0.3
            mask.flat[0] = True
            vals[mask] = {"nan": np.nan, "inf": np.inf, "-inf": -np.inf}[fill]
        layout = spec["layout"]
        dtype = spec["dtype"]
        if layout == "strided":
            big = np.repeat(vals, 2, axis=0) if vals.ndim else vals
            arr = np.array(big, dtype=dtype)[::2]
        elif layout == "negative":
            flipped = vals[tuple(slice(None, None, -1) for _ in shape)]
            arr = np.array(flipped, dtype=dtype)[tuple(slice(None, None, -1) for _ in shape)]
        elif layout == "transposed":
            arr = np.array(vals.T, dtype=dtype).T
        elif layout == "broadcast":
            first = vals.reshape(-1)[:1] if vals.size else np.zeros(1)
            arr = np.broadcast_to(np.array(first, dtype=dtype).reshape((1,) * len(shape)), shape)
        elif layout == "unaligned" and dtype != "object":
            a = np.array(vals, dtype=dtype)
            buf = bytearray(a.nbytes + 1)
            arr = np.frombuffer(buf, dtype=a.dtype, offset=1, count=a.size).reshape(shape)
            arr[...] = a
        elif layout == "byteswapped":
            a = np.array(vals, dtype=dtype)
            arr = a.astype(a.dtype.newbyteorder())
        else:
            arr = np.array(vals, dtype=dtype, order=spec.get("order", "C"))
        if spec.get("readonly") and arr.flags.writeable:
            arr.setflags(write=False)
        return arr

    class Reenter:
        """A number whose conversion calls back into the GAM being called."""

        def __init__(self, gam, kind, value, call):
            self.gam, self.kind, self.value, self.call = gam, kind, value, call
            self.inner = None

        def _callback(self):
            if self.gam is None:
                return
            try:
                if self.call == "fit":
                    self.gam.fit(ref_x, ref_y, k=[5, 5])
                elif self.call == "predict":
                    self.gam.predict(ref_x)
                elif self.call == "add_cubic_spline":
                    self.gam.add_cubic_spline("z", 5, 0.0, 1.0)
                else:
                    getattr(self.gam, self.call)()
                self.inner = "ok"
            except RuntimeError as e:
                self.inner = str(e)
            except ValueError as e:
                self.inner = f"ValueError: {e}"

        def __index__(self):
            self._callback()
            if self.kind != "index":
                raise TypeError("not an integer")
            return self.value

        def __float__(self):
            self._callback()
            return float(self.value)

    def build(spec, gam):
        t = spec["t"]
        if t == "array":
            return make_array(spec)
        if t == "huge":
            return np.lib.stride_tricks.as_strided(np.zeros(1), shape=tuple(spec["shape"]),
                                                   strides=(0,) * len(spec["shape"]))
        if t in ("int", "float", "str", "bool", "none"):
            return spec["v"]
        if t == "bytes":
            return spec["v"].encode("utf-8", "surrogatepass")
        if t == "list":
            return [build(s, gam) for s in spec["items"]]
        if t == "tuple":
            return tuple(build(s, gam) for s in spec["items"])
        if t == "range":
            return range(spec["n"])
        if t == "npint":
            return np.dtype(spec["dtype"]).type(spec["v"])
        if t == "npfloat":
            return np.float32(spec["v"])
        if t in ("object", "dict"):
            return object() if t == "object" else {"a": 1}
        if t == "reenter":
            return Reenter(gam, spec["kind"], spec["v"], spec["call"])
        raise AssertionError(f"unknown spec {t}")

    def snapshot(gam):
        """Results of a fitted object, for comparison after a failed call."""
        return (gam.get_coefficients().tobytes(), gam.get_all_lambdas().tobytes(),
                gam.get_fitted_values().tobytes(), gam.get_design_matrix().tobytes(),
                gam.predict(ref_x).tobytes())

    def check_result(fn, args, kwargs, result):
        """Shape checks of a successful call; returns a problem description or None."""
        def arg(i, name):
            return kwargs[name] if name in kwargs else args[i]

        if fn in ("fit", "fit_auto", "fit_auto_optimized", "fit_formula", "fit_manual"):
            keys = ["lambda", "all_lambdas", "deviance", "fitted_values", "fitted"]
            if fn not in ("fit", "fit_auto_optimized"):
                keys.remove("all_lambdas")
            if not isinstance(result, dict) or list(result) != keys:
                return f"result keys {list(result) if isinstance(result, dict) else result!r}"
            if result["fitted_values"].shape != (arg(0, "x").shape[0],):
                return f"fitted_values shape {result['fitted_values'].shape}"
        elif fn == "predict":
            x = arg(0, "x")
            if result.shape != (x.shape[0],) or result.dtype != np.float64:
                return f"predict gave {result.shape} {result.dtype} for x {x.shape}"
        elif fn == "compute_penalty_matrix":
            k = int(arg(1, "num_basis"))
            if result.shape != (k, k):
                return f"penalty shape {result.shape} for num_basis {k}"
        elif fn == "evaluate_gradient":
            if result.shape != (len(arg(3, "k_values")),):
                return f"gradient shape {result.shape}"
        elif fn == "reml_gradient_multi_qr_py":
            if result.shape != (len(arg(4, "penalties")),):
                return f"gradient shape {result.shape}"
        elif fn == "reml_hessian_multi_qr_py":
            m = len(arg(4, "penalties"))
            if result.shape != (m, m):
                return f"hessian shape {result.shape}"
        elif fn == "newton_pirls_py":
            if not (isinstance(result, tuple) and len(result) == 6
                    and isinstance(result[5], str) and isinstance(result[4], bool)):
                return f"newton_pirls_py gave {result!r}"
        return None

    for line in sys.stdin:
        call = json.loads(line)
        fn = call["fn"]
        out = {}
        gam = None
        before = None
        target = call.get("target")
        if fn == "__abort__":
            os.abort()  # lets the tests check that a dying worker is reported
        try:
            if target is not None:
                gam = vc.GAM(build(target["family"], None))
                if target["state"] == "fitted":
                    gam.fit(ref_x, ref_y, k=[5, 5])
                    before = snapshot(gam)
                elif target["state"] == "manual":
                    gam.add_cubic_spline("a", 5, 0.0, 1.0)
                    gam.add_cubic_spline("b", 6, 0.0, 1.0)
            args = [build(s, gam) for s in call["args"]]
            kwargs = {k: build(s, gam) for k, s in call["kwargs"].items()}
        except Exception as e:  # a fault of the harness, not of the module
            proto.write(json.dumps({"outcome": "bad_setup", "message": repr(e)}) + "\n")
            continue
        start = time.perf_counter()
        try:
            if fn == "GAM":
                result = vc.GAM(*args, **kwargs)
            elif gam is not None:
                result = getattr(gam, fn)(*args, **kwargs)
            else:
                result = getattr(vc, fn)(*args, **kwargs)
            out["outcome"] = "ok"
            values = (list(result.values()) if isinstance(result, dict)
                      else list(result) if isinstance(result, tuple) else [result])
            out["nonfinite"] = any(isinstance(v, (float, np.ndarray)) and
                                   not np.all(np.isfinite(v)) for v in values)
            problem = check_result(fn, args, kwargs, result)
            if problem:
                out["outcome"] = "bad_result"
                out["message"] = problem
        except BaseException as e:  # every kind is reported; the parent judges
            out["outcome"] = "error"
            out["type"] = type(e).__name__
            out["message"] = str(e)
        out["seconds"] = time.perf_counter() - start
        inner = [a.inner for a in list(args) + list(kwargs.values())
                 if isinstance(a, Reenter) and a.inner is not None]
        if inner:
            # Every GAM method holds its borrow flag while converting its arguments, so a
            # call back into the same object must have been refused.
            out["inner"] = inner
            if any(i not in ("Already borrowed", "Already mutably borrowed") for i in inner):
                out["outcome"] = "bad_result"
                out["message"] = f"a call nested in an argument conversion got: {inner}"
        if gam is not None:
            # The borrow flag must be free again: a shared and an exclusive method both
            # get past it (the exclusive one then stops at its own argument check).
            try:
                gam.get_family()
                gam.add_cubic_spline(None, 5, 0.0, 1.0)
            except TypeError:
                pass
            except Exception as e:
                out["outcome"] = "bad_state"
                out["message"] = f"object left busy: {type(e).__name__}: {e}"
            if before is not None and out["outcome"] == "error":
                try:
                    after = snapshot(gam)
                    if after != before:
                        out["outcome"] = "bad_state"
                        out["message"] = "a failed call changed the stored results"
                except ValueError as e:
                    # Only a rebuilt smooth list may stop predict, and only with ValueError.
                    if fn not in ("fit", "fit_auto", "fit_auto_optimized", "fit_formula"):
                        out["outcome"] = "bad_state"
                        out["message"] = f"predict failed after a failed {fn}: {e}"
        proto.write(json.dumps(out) + "\n")


if __name__ == "__main__" and sys.argv[1:] == ["--worker"]:
    _worker_main()
    sys.exit(0)


# ---------------------------------------------------------------------------------------
# Test side: strategies and the driver.
# ---------------------------------------------------------------------------------------

import warnings  # noqa: E402

import pytest  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

try:
    # Hypothesis imports this module to report a failing example; where its dependencies
    # warn on import, the suite's warnings-as-errors would turn the report into an internal
    # error of pytest that hides the failure. Imported once here, quietly.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import hypothesis.extra._patching  # noqa: E402, F401
except ImportError:
    pass

SCALE = float(os.environ.get("VELKAN_FUZZ_SCALE", "1"))
STATS = {"calls": 0, "ok": 0, "errors": 0, "crashes": 0, "messages": set(), "by_type": {},
         "nonfinite_results": []}


def examples(n):
    return settings(max_examples=max(1, int(n * SCALE)), deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Worker:
    """One worker interpreter; restarted after it dies."""

    def __init__(self):
        self.proc = None

    def start(self):
        env = dict(os.environ)
        for name in ("VELKAN_PROFILE", "VELKAN_GRAD_DEBUG", "VELKAN_HESS_DEBUG",
                     "VELKAN_TRACE_DEBUG"):
            env[name] = "1"  # the diagnostic lines are part of what gets exercised
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--worker"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=env)

    def stop(self):
        """Ends the worker; returns what it wrote to stderr."""
        if self.proc is None:
            return ""
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()
        stderr = self.proc.stderr.read()
        self.proc.stderr.close()
        self.proc = None
        return stderr

    def run(self, call):
        if self.proc is None or self.proc.poll() is not None:
            self.start()
        text = json.dumps(call)
        try:
            self.proc.stdin.write(text + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass  # reported below as a crash
        ready, _, _ = select.select([self.proc.stdout], [], [], CALL_TIMEOUT_S)
        line = self.proc.stdout.readline() if ready else ""
        if line:
            return json.loads(line)
        hung = not ready  # readable without a line: the worker's end of the pipe closed
        stderr = self.stop()
        STATS["crashes"] += 1
        pytest.fail(f"worker {'hung' if hung else 'crashed'} on call {text}\n{stderr[-3000:]}")


@pytest.fixture(scope="module")
def worker(request):
    w = Worker()
    yield w
    w.stop()
    report = {k: (sorted(v) if isinstance(v, set) else v) for k, v in STATS.items()}
    summary = (f"fuzz: {STATS['calls']} generated calls, {STATS['ok']} results, "
               f"{STATS['errors']} clean exceptions, {len(STATS['messages'])} distinct "
               f"failure messages, {STATS['crashes']} crashes; by type {STATS['by_type']}")
    capture = request.config.pluginmanager.getplugin("capturemanager")
    with capture.global_and_fixture_disabled():  # the totals show in every run's output
        print("\n" + summary)
    path = os.environ.get("VELKAN_FUZZ_REPORT")
    if path:
        with open(path, "w") as f:
            json.dump(report, f, indent=1)


def judge(worker, call):
    out = worker.run(call)
    STATS["calls"] += 1
    text = json.dumps(call)
    if out["outcome"] in ("bad_result", "bad_state", "bad_setup"):
        pytest.fail(f"{out['outcome']}: {out['message']}\ncall: {text}")
    if out["outcome"] == "ok":
        STATS["ok"] += 1
        if out["nonfinite"] and len(STATS["nonfinite_results"]) < 200:
            STATS["nonfinite_results"].append(call)  # for the report: inspected by hand
        return out
    STATS["errors"] += 1
    kind, message = out["type"], out["message"]
    STATS["by_type"][kind] = STATS["by_type"].get(kind, 0) + 1
    STATS["messages"].add(f"{kind}: {message}")
    assert kind in ALLOWED, f"{kind}: {message}\ncall: {text}"
    assert message.strip(), f"empty {kind} message\ncall: {text}"
    assert not message.startswith(UNGUARDED), f"{kind}: {message}\ncall: {text}"
    return out


# ---- argument strategies ------------------------------------------------------------
#
# Each argument has a pool of values of the documented kind (valid shapes and dtypes, with
# edge values in the data: zeros, constants, NaN, infinities, huge and tiny numbers) and a
# pool of wrong ones (other kinds, dtypes, dimensions, lengths and sizes). A call draws
# which arguments come from the wrong pool: none, one, or all, so that most calls get past
# argument conversion and reach the numerical core.

def lit(t, v=None):
    return {"t": t, "v": v}


GOOD_FILLS = ["normal", "uniform", "uniform", "uniform", "integers", "zeros", "ones", "nan",
              "inf", "huge", "tiny"]
ALL_FILLS = GOOD_FILLS + ["-inf"]
GOOD_LAYOUTS = ["plain"] * 4 + ["strided", "negative", "transposed", "broadcast"]
BAD_DTYPES = ["float32", "int64", "bool", "object", "complex128", "float16"]
BAD_LAYOUTS = ["unaligned", "byteswapped"]


@st.composite
def arrays(draw, shape, good=True):
    """A float64 array of `shape` (good) or an array of another dtype or layout."""
    dtype, layout = "float64", draw(st.sampled_from(GOOD_LAYOUTS))
    if not good:
        if draw(st.booleans()):
            dtype = draw(st.sampled_from(BAD_DTYPES))
        else:
            layout = draw(st.sampled_from(BAD_LAYOUTS))
    fills = st.sampled_from(["uniform"] * 8 + GOOD_FILLS) if good else st.sampled_from(ALL_FILLS)
    return {"t": "array", "shape": list(shape), "dtype": dtype, "layout": layout,
            "fill": draw(fills), "order": draw(st.sampled_from("CF")),
            "readonly": draw(st.booleans()), "seed": draw(st.integers(0, 2**32 - 1))}


HUGE_SHAPES = [[10**10, 3], [10**10, 1], [3, 10**10], [10**9, 2], [2 * 10**9, 0], [10**10]]
WRONG_KINDS = st.sampled_from([
    lit("none"), lit("int", 3), lit("float", 1.5), lit("str", "x"), lit("bytes", "ab"),
    lit("object"), lit("dict"), {"t": "list", "items": [lit("float", 1.0)]},
    {"t": "list", "items": [{"t": "list", "items": [lit("float", 1.0)]}]}])


def matrix(n, d, good):
    if good:
        return arrays((n, d))
    return st.one_of(arrays((n, d), good=False), arrays((n,)), arrays((n, d, 1)),
                     st.sampled_from([{"t": "huge", "shape": s} for s in HUGE_SHAPES]),
                     WRONG_KINDS)


def vector(n, good):
    if good:
        return arrays((n,))
    return st.one_of(st.sampled_from([0, 1, n + 1]).flatmap(lambda m: arrays((m,))),
                     arrays((n,), good=False), arrays((n, 1)),
                     st.just({"t": "huge", "shape": [10**10]}), WRONG_KINDS)


# 10**4 itself, the largest basis size allowed, is left out: a fit with such a basis is
# valid and takes hours (dense p x p factorizations), which would read as a hang here.
EDGE_INTS = [0, 1, 2, 3, 10**4 + 1, 10**9, 2**31, 2**63 - 1, 2**64 - 1, 2**64, 2**70,
             -1, -(2**63)]


def int_spec(v):
    return lit("int", v)


def size_item(good, low=4, high=9):
    if good:
        return st.one_of(st.integers(low, high).map(int_spec),
                         st.sampled_from(["int64", "uint8"]).map(
                             lambda dt: {"t": "npint", "dtype": dt, "v": low}))
    return st.one_of(
        st.sampled_from(EDGE_INTS).map(int_spec),
        st.sampled_from([lit("float", 5.0), lit("bool", True), lit("str", "5"), lit("none"),
                         lit("float", float("nan")), {"t": "npint", "dtype": "int8", "v": -5}]),
        # Conversion of these calls back into the object being called.
        st.sampled_from(["index", "float"]).flatmap(lambda kind: st.sampled_from(
            ["fit", "predict", "get_coefficients", "add_cubic_spline"]).map(
            lambda c: {"t": "reenter", "kind": kind, "v": 5, "call": c})))


def sizes(d, good):
    if good:
        items = st.lists(size_item(True), min_size=d, max_size=d)
        return st.one_of(items.map(lambda i: {"t": "list", "items": i}),
                         items.map(lambda i: {"t": "tuple", "items": i}))
    wrong_items = st.lists(st.one_of(size_item(True), size_item(False)), min_size=d,
                           max_size=d).filter(lambda i: d == 0 or i)
    wrong_length = st.sampled_from([0, d + 1, max(d - 1, 0)]).flatmap(
        lambda m: st.lists(size_item(True), min_size=m, max_size=m))
    return st.one_of(
        wrong_items.map(lambda i: {"t": "list", "items": i}),
        wrong_length.map(lambda i: {"t": "list", "items": i}),
        st.sampled_from([{"t": "range", "n": 10**12}, {"t": "range", "n": 10**30},
                         {"t": "array", "shape": [d], "dtype": "int64", "layout": "plain",
                          "fill": "ones", "seed": 0},
                         lit("str", "5,5"), lit("int", 5), lit("none")]))


def float_item(good):
    if good:
        return st.one_of(st.floats(1e-3, 1e3).map(lambda v: lit("float", v)),
                         st.sampled_from([lit("float", 0.0), lit("int", 2),
                                          {"t": "npfloat", "v": 2.0}]))
    return st.one_of(
        st.floats(allow_nan=True, allow_infinity=True).map(lambda v: lit("float", v)),
        st.sampled_from([lit("int", 10**400), lit("str", "1.0"), lit("none"),
                         {"t": "reenter", "kind": "float", "v": 1.0, "call": "fit"},
                         {"t": "reenter", "kind": "float", "v": 1.0, "call": "get_lambda"}]))


def floats_list(m, good):
    if good:
        return st.lists(float_item(True), min_size=m, max_size=m).map(
            lambda i: {"t": "list", "items": i})
    return st.one_of(
        st.sampled_from([0, m + 1]).flatmap(lambda k: st.lists(
            float_item(True), min_size=k, max_size=k)).map(lambda i: {"t": "list", "items": i}),
        st.lists(st.one_of(float_item(True), float_item(False)), min_size=max(m, 1),
                 max_size=max(m, 1)).map(lambda i: {"t": "list", "items": i}),
        st.sampled_from([{"t": "range", "n": 10**12}, lit("str", "1.0"), lit("float", 1.0)]))


def penalties(m, p, good):
    if good:
        return st.lists(arrays((p, p)), min_size=m, max_size=m).map(
            lambda i: {"t": "list", "items": i})
    item = st.one_of(st.sampled_from([p + 1, 0]).flatmap(lambda s: arrays((s, s))),
                     arrays((p, p), good=False), arrays((p,)),
                     st.just({"t": "huge", "shape": [10**5, 10**5]}),
                     st.just(lit("float", 1.0)))
    return st.one_of(
        st.sampled_from([0, m + 1]).flatmap(lambda k: st.lists(
            arrays((p, p)), min_size=k, max_size=k)).map(lambda i: {"t": "list", "items": i}),
        st.lists(item, min_size=max(m, 1), max_size=max(m, 1)).map(
            lambda i: {"t": "list", "items": i}),
        WRONG_KINDS)


def choice(good, values, wrong):
    return st.sampled_from(values) if good else wrong


def method(good):
    return choice(good, [lit("str", "REML"), lit("str", "REML"), lit("str", "GCV")],
                  st.sampled_from([lit("str", "reml"), lit("str", ""), lit("str", "REML\x00"),
                                   lit("str", "\udc80"), lit("bytes", "REML"), lit("int", 1),
                                   lit("none")]))


def basis(good):
    return choice(good, [lit("str", "bs"), lit("str", "cr"), lit("none")],
                  st.sampled_from([lit("str", "CR"), lit("str", "tps"), lit("int", 0),
                                   lit("str", "")]))


def max_iter(good):
    return choice(good, [lit("none"), int_spec(1), int_spec(3), int_spec(0)],
                  st.one_of(st.sampled_from(EDGE_INTS).map(int_spec),
                            st.sampled_from([lit("float", 5.0), lit("str", "3"),
                                             lit("bool", True)])))


def formula(good, d):
    cols = [str(c) for c in range(max(d, 1))]
    term = st.builds(lambda c, k, sp: f"s({c},{sp}k={k})", st.sampled_from(cols),
                     st.sampled_from(["4", "5", "6", "8"]), st.sampled_from([" ", "", "  "]))
    if good:
        return st.lists(term, min_size=1, max_size=3).map(lambda t: lit("str", " + ".join(t)))
    wild = st.builds(lambda c, k, sp: f"s({c},{sp}k={k})",
                     st.sampled_from(cols + ["-1", "99999999999999999999", "x", ""]),
                     st.sampled_from(["0", "1", "3", "10001", "18446744073709551616",
                                      "-5", "5.5", ""]),
                     st.sampled_from([" ", "", "\t"]))
    joined = st.lists(st.one_of(term, wild), min_size=0, max_size=4).map(" + ".join)
    mutated = st.tuples(joined, st.integers(0, 40), st.text(max_size=3)).map(
        lambda t: t[0][:t[1]] + t[2] + t[0][t[1]:])
    return st.one_of(joined.map(lambda s: lit("str", s)), mutated.map(lambda s: lit("str", s)),
                     st.text(max_size=30).map(lambda s: lit("str", s)), WRONG_KINDS)


FAMILIES = st.sampled_from([lit("none"), lit("str", "gaussian"), lit("str", "binomial"),
                            lit("str", "poisson"), lit("str", "gamma")])
TARGETS = st.fixed_dictionaries({"family": FAMILIES,
                                 "state": st.sampled_from(["fresh", "fitted", "manual"])})
ROWS = st.sampled_from([0, 1, 2, 3, 8, 20, 40, 60, 60, 60, 60])
COLS = st.sampled_from([0, 1, 1, 2, 2, 2, 3])


def call(fn, args, kwargs=None, target=None):
    spec = {"fn": fn, "args": args, "kwargs": kwargs or {}}
    if target is not None:
        spec["target"] = target
    return spec


def draw_arguments(draw, names, makers, required):
    """Draws each argument from its good or wrong pool; the first `required` are passed
    always, the rest may be left out; a random tail goes by keyword."""
    wrong = draw(st.sampled_from([None, None, None, "all"] + list(range(len(names)))))
    specs = [draw(make(wrong not in ("all", i))) for i, make in enumerate(makers)]
    keep = draw(st.integers(required, len(names)))
    names, specs = names[:keep], specs[:keep]
    cut = draw(st.integers(0, len(names)))
    return specs[:cut], dict(zip(names[cut:], specs[cut:]))


# ---- the tests ------------------------------------------------------------------------

@st.composite
def fit_calls(draw):
    fn = draw(st.sampled_from(["fit", "fit_auto", "fit_auto_optimized"]))
    n, d = draw(ROWS), draw(COLS)
    required = {"fit": 3, "fit_auto": 6, "fit_auto_optimized": 4}[fn]
    args, kwargs = draw_arguments(
        draw, ["x", "y", "k", "method", "bs", "max_iter"],
        [lambda g: matrix(n, d, g), lambda g: vector(n, g), lambda g: sizes(d, g), method,
         basis, max_iter], required)
    return call(fn, args, kwargs, draw(TARGETS))


@st.composite
def formula_and_manual_calls(draw):
    n, d = draw(ROWS), draw(COLS)
    if draw(st.booleans()):
        args, kwargs = draw_arguments(
            draw, ["x", "y", "formula", "method", "max_iter"],
            [lambda g: matrix(n, d, g), lambda g: vector(n, g), lambda g: formula(g, d),
             method, max_iter], 5)
        return call("fit_formula", args, kwargs, draw(TARGETS))
    # fit_manual fits the smooths of a "manual" target (two of them) or none (fresh).
    args, kwargs = draw_arguments(
        draw, ["x", "y", "method", "max_iter"],
        [lambda g: matrix(n, d, g), lambda g: vector(n, g), method, max_iter], 4)
    return call("fit_manual", args, kwargs, draw(TARGETS))


@st.composite
def object_calls(draw):
    """Constructor, add_cubic_spline, predict and the getters."""
    fn = draw(st.sampled_from(["GAM", "add_cubic_spline", "predict", "predict", "getter"]))
    if fn == "GAM":
        family = draw(st.one_of(FAMILIES, st.text(max_size=8).map(lambda s: lit("str", s)),
                                WRONG_KINDS))
        return call("GAM", [family] if draw(st.booleans()) else [],
                    {} if draw(st.integers(0, 5)) else {"colour": int_spec(1)})
    if fn == "add_cubic_spline":
        args, kwargs = draw_arguments(
            draw, ["var_name", "num_basis", "x_min", "x_max"],
            [lambda g: st.text(max_size=5).map(lambda s: lit("str", s)) if g else WRONG_KINDS,
             lambda g: size_item(g, 2, 12), float_item, float_item], 4)
        return call(fn, args, kwargs, draw(TARGETS))
    if fn == "predict":
        good = draw(st.integers(0, 3)) > 0
        d = draw(st.sampled_from([2, 2, 2, 0, 1, 3]))  # the fitted targets have 2 columns
        return call(fn, [draw(matrix(draw(ROWS), d, good))], {}, draw(TARGETS))
    getter = draw(st.sampled_from(["get_lambda", "get_all_lambdas", "get_fitted_values",
                                   "get_family", "get_coefficients", "get_design_matrix"]))
    extra = draw(st.sampled_from([[], [], [int_spec(1)]]))
    return call(getter, extra, {}, draw(TARGETS))


@st.composite
def module_calls(draw):
    fn = draw(st.sampled_from(["compute_penalty_matrix", "evaluate_gradient",
                               "reml_gradient_multi_qr_py", "reml_hessian_multi_qr_py",
                               "newton_pirls_py"]))
    if fn == "compute_penalty_matrix":
        k = draw(st.sampled_from([0, 1, 2, 3, 4, 5, 6, 8]))
        kinds = ["cr", "cubic_regression", "cubic", "tps", "thin_plate"]
        args, kwargs = draw_arguments(
            draw, ["basis_type", "num_basis", "knots"],
            [lambda g: choice(g, [lit("str", s) for s in kinds],
                              st.one_of(st.sampled_from([lit("str", "bs"), lit("str", "")]),
                                        WRONG_KINDS)),
             lambda g: st.just(int_spec(k)) if g else size_item(False),
             lambda g: st.sampled_from([k, max(k - 2, 0)]).flatmap(
                 lambda m: arrays((m,))) if g else st.one_of(
                 arrays((k, 1)), arrays((k,), good=False), WRONG_KINDS)], 3)
        return call(fn, args, kwargs)
    n, d = draw(ROWS), draw(COLS)
    if fn == "evaluate_gradient":
        args, kwargs = draw_arguments(
            draw, ["x", "y", "lambdas", "k_values"],
            [lambda g: matrix(n, d, g), lambda g: vector(n, g), lambda g: floats_list(d, g),
             lambda g: sizes(d, g)], 4)
        return call(fn, args, kwargs)
    m = draw(st.sampled_from([0, 1, 1, 2, 3]))
    names = ["y", "x", "w", "lambdas", "penalties"]
    makers = [lambda g: vector(n, g), lambda g: matrix(n, d, g), lambda g: vector(n, g),
              lambda g: floats_list(m, g), lambda g: penalties(m, d, g)]
    if fn == "newton_pirls_py":
        names[3] = "initial_log_lambda"
        makers[3] = lambda g: arrays((m,)) if g else st.one_of(
            arrays((m + 1,)), arrays((m,), good=False), WRONG_KINDS)
        names += ["max_iter", "grad_tol", "verbose"]
        makers += [
            # Valid but huge counts are left out: the search then runs for as many
            # iterations as asked when it does not converge, which is its contract.
            lambda g: choice(g, [lit("none"), int_spec(5), int_spec(0)], st.sampled_from(
                [int_spec(-1), int_spec(2**64), lit("float", 5.0), lit("str", "3"),
                 {"t": "reenter", "kind": "index", "v": 3, "call": "fit"}])),
            lambda g: choice(g, [lit("none"), lit("float", 1e-6)], float_item(False)),
            lambda g: choice(g, [lit("none"), lit("bool", False), lit("bool", True)],
                             st.sampled_from([int_spec(1), lit("str", "yes")]))]
    args, kwargs = draw_arguments(draw, names, makers, len(names))
    return call(fn, args, kwargs)


@examples(300)
@given(spec=fit_calls())
def test_fit_methods_with_generated_arguments(worker, spec):
    judge(worker, spec)


@examples(200)
@given(spec=formula_and_manual_calls())
def test_formula_and_manual_fits_with_generated_arguments(worker, spec):
    judge(worker, spec)


@examples(250)
@given(spec=object_calls())
def test_constructor_predict_and_getters_with_generated_arguments(worker, spec):
    judge(worker, spec)


@examples(300)
@given(spec=module_calls())
def test_module_functions_with_generated_arguments(worker, spec):
    judge(worker, spec)


def test_a_dying_worker_fails_the_test_with_the_call():
    # The harness itself: a worker that dies mid-call is reported with the call it ran.
    w = Worker()
    try:
        with pytest.raises(pytest.fail.Exception, match=r"worker crashed on call .*__abort__"):
            w.run(call("__abort__", []))
        assert w.run(call("get_family", [], {}, {"family": lit("none"), "state": "fresh"}))[
            "outcome"] == "ok"  # and the next call gets a fresh worker
    finally:
        w.stop()
        STATS["crashes"] -= 1  # the deliberate one
