import os
import subprocess
import sys


def run_python(code, env_extra=None, unset=(), timeout=300):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.

    Used for diagnostics that go to the process's standard output and for calls that
    might crash the interpreter."""
    env = dict(os.environ)
    for name in unset:
        env.pop(name, None)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=timeout)


def ridge(xtwx, m):
    """The ridge of every penalized normal matrix built on X'WX with m smoothing parameters."""
    import numpy as np
    return 1e-5 * (1 + np.sqrt(m)) * max(1.0, np.abs(np.diag(xtwx)).max())


def ridged_solve(a, xtwx, m, b):
    """The core's solve of a beta = b for a penalized normal matrix `a` built on X'WX: through
    a + ridge I, then three refinement steps toward `a` itself."""
    import numpy as np
    f = a + ridge(xtwx, m) * np.eye(len(a))
    x = np.linalg.solve(f, b)
    for _ in range(3):
        x = x + np.linalg.solve(f, b - a @ x)
    return x
