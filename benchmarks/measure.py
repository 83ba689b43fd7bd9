"""Measurement helpers the benchmark scripts share: best-of-n wall time, the process's
memory counters from /proc, and resetting the peak-memory mark."""
import time


def best_seconds(fn, repeats):
    """The shortest of `repeats` wall times of fn(), and fn's last result."""
    best, out = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def status_kib(field):
    """A memory counter of this process in KiB ("VmRSS", "VmHWM", ...); 0 if absent."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    """Resets the VmHWM high-water mark (writing 5 to clear_refs, Linux >= 4.0); False where
    that is not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class AnonymousPeak:
    """The peak growth (MB) of this process's anonymous resident memory (RssAnon) while the
    block runs, sampled every 5 ms by a thread: the memory a fit allocates, without the
    file pages a memory map brings in (those are page cache, counted by VmHWM)."""

    def __enter__(self):
        import threading
        self.base = self.peak = status_kib("RssAnon")
        self._stop = threading.Event()

        def watch():
            while not self._stop.wait(0.005):
                self.peak = max(self.peak, status_kib("RssAnon"))
        self._thread = threading.Thread(target=watch, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, status_kib("RssAnon"))

    @property
    def growth_mb(self):
        return (self.peak - self.base) / 1024

