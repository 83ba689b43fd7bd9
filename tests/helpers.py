import os
import subprocess
import sys


def run_python(code, env_extra=None, timeout=300):
    """Runs `code` in a fresh interpreter (for calls that might crash it or change its
    process-wide state), with `env_extra` added to the environment; returns the
    CompletedProcess."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, **(env_extra or {})}, timeout=timeout)
