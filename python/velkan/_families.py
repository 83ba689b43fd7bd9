"""Response families: the engine's family table as Python classes.

Every family the engine knows becomes a class here, named and documented by its table
entry (``velkan.Poisson``, ``velkan.Binomial(link="probit")``, ...); ``GAM(family=...)``
takes such an object or the family's name. Nothing in the package branches on a family's
name: what differs between families (links, support, scale, messages) is read from the
table.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _engine

_TABLE = {info.name: info for info in _engine.families()}
# The family a GAM fits when none is given: the first of the table.
DEFAULT = next(iter(_TABLE))


class Family:
    """A response distribution with its link function (and any parameters it takes).

    Families are the subclasses ``velkan.Gaussian``, ``velkan.Binomial``, ... (see
    :func:`velkan.families`); ``GAM(family="poisson")`` is ``GAM(family=velkan.Poisson())``.
    ``link`` names one of the family's links (None: its default).
    """

    name: str = ""

    def __init__(self, link: str | None = None, **parameters: float) -> None:
        info = _TABLE[self.name]
        names = [p[0] for p in info.parameters]
        unknown = set(parameters) - set(names)
        if unknown:
            raise TypeError(f"{type(self).__name__}() got unexpected parameter(s) {sorted(unknown)}; "
                            f"it takes link{''.join(', ' + n for n in names)}")
        if link is not None and not isinstance(link, str):
            raise TypeError(f"link must be a link name, got {link!r}")
        self.link = info.links[0] if link is None else link
        self.parameters = {n: parameters.get(n) for n in names}
        self._model = self._make_model()

    def _make_model(self) -> Any:
        values = [np.nan if v is None else float(v) for v in self.parameters.values()]
        return _engine.ResponseModel(self.name, self.link, values)

    @property
    def model(self) -> Any:
        """The engine's response model (family, link, parameter values)."""
        return self._model

    @property
    def info(self) -> Any:
        """The family's entry of the engine's table."""
        return _TABLE[self.name]

    def __repr__(self) -> str:
        args = [] if self.link == self.info.links[0] else [f"link={self.link!r}"]
        args += [f"{k}={v!r}" for k, v in self.parameters.items() if v is not None]
        return f"{type(self).__name__}({', '.join(args)})"

    def __eq__(self, other: object) -> bool:
        return (type(other) is type(self) and self.link == other.link  # type: ignore[attr-defined]
                and self.parameters == other.parameters)  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((self.name, self.link, tuple(self.parameters.items())))

    def __getstate__(self) -> dict:
        return {"link": self.link, "parameters": self.parameters}

    def __setstate__(self, state: dict) -> None:
        self.link, self.parameters = state["link"], state["parameters"]
        self._model = self._make_model()


def _family_class(info: Any) -> type:
    links = ", ".join(repr(link) for link in info.links)
    doc = (f"{info.doc}\n\n    Links: {links} (the first is the default). Responses: "
           f"{info.support}.\n\n    ``GAM(family={info.name!r})`` fits this family with its default link.\n")
    return type(info.class_name, (Family,), {"name": info.name, "__doc__": doc,
                                              "__module__": "velkan"})


# Family classes by family name, in table order.
CLASSES: dict[str, type] = {name: _family_class(info) for name, info in _TABLE.items()}


def families() -> list[str]:
    """The names of the families velkan fits, in table order.

    >>> import velkan
    >>> velkan.families()[:2]
    ['gaussian', 'binomial']
    """
    return list(CLASSES)


def as_family(family: Any) -> Family:
    """A Family from a family object or name (ValueError naming the known ones)."""
    if isinstance(family, Family):
        return family
    if isinstance(family, str) and family in CLASSES:
        return CLASSES[family]()
    raise ValueError(f"family must be one of {', '.join(map(repr, CLASSES))} or a velkan family "
                     f"object; got {family!r}")


def family_from_fit(name: str, link: str | None, parameters: dict | None) -> Family:
    """The family a fitted model (or a model file) records."""
    if name not in CLASSES:
        raise ValueError(f"unknown family {name!r}")
    return CLASSES[name](link=link, **(parameters or {}))


def starting_level(model: Any, y: np.ndarray, w: np.ndarray | None, frequency: bool = False) -> float:
    """A finite linear predictor near the response's mean: the intercept a fit starts from
    (`frequency`: the weights count the rows)."""
    mean = float(np.average(y, weights=w)) if w is not None and w.sum() > 0 else float(np.mean(y))
    return float(model.starting_level(mean, float(w.sum()) if frequency and w is not None else y.size))
