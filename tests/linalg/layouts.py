"""Ways of presenting the same matrix values to the core with different memory layouts."""
import numpy as np

LAYOUTS = ["C", "F", "strided", "negative"]


def with_layout(a, layout):
    """Returns an array equal to `a` whose memory layout is `layout`."""
    a = np.asarray(a, dtype=np.float64)
    if layout == "C":
        return np.ascontiguousarray(a)
    if layout == "F":
        return np.asfortranarray(a)
    if a.ndim == 1:
        if layout == "strided":
            big = np.full(3 * a.shape[0] + 1, np.nan)
            big[::3][: a.shape[0]] = a
            return big[::3][: a.shape[0]]
        return a[::-1].copy()[::-1]
    if layout == "strided":
        # Gaps along both dimensions, padding filled with NaN so any stray read shows.
        big = np.full((2 * a.shape[0] + 1, 3 * a.shape[1] + 1), np.nan)
        view = big[::2, ::3][: a.shape[0], : a.shape[1]]
        view[...] = a
        return view
    if layout == "negative":
        return a[::-1, ::-1].copy()[::-1, ::-1]
    raise ValueError(layout)
