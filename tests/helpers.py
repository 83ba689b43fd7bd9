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
