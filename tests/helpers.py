import subprocess
import sys


def run_python(code, timeout=300):
    """Runs `code` in a fresh interpreter (for calls that might crash it or change its
    process-wide state); returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout)
