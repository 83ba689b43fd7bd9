#!/usr/bin/env python3
"""Prints, one per line, the requirements that pyproject.toml lists for the given groups,
so that the scripts install from the one list there:

  build    [build-system] requires, with cmake (at the version [tool.scikit-build] asks
           for) and ninja, for builds without build isolation
  runtime  [project] dependencies
  NAME     the optional-dependencies group NAME; a group naming this project's own extras
           (velkan[a,b]) is expanded into theirs

usage: python3 scripts/requirements.py GROUP [GROUP ...]
"""
import pathlib
import re
import sys

try:
    import tomllib
except ModuleNotFoundError:  # Python 3.10: the scripts install tomli first
    import tomli as tomllib


def main(groups):
    project_file = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    pyproject = tomllib.loads(project_file.read_text())
    name = pyproject["project"]["name"]
    extras = pyproject["project"].get("optional-dependencies", {})
    own = re.compile(rf"^{re.escape(name)}\[([^\]]*)\]$")
    out = []

    def add_extra(group):
        if group not in extras:
            sys.exit(f"requirements.py: no optional-dependencies group {group!r}")
        for requirement in extras[group]:
            match = own.match(requirement.replace(" ", ""))
            if match:
                for inner in match.group(1).split(","):
                    add_extra(inner)
            elif requirement not in out:
                out.append(requirement)

    for group in groups:
        if group == "build":
            cmake = pyproject["tool"]["scikit-build"]["cmake"]["version"]
            out.extend([*pyproject["build-system"]["requires"], f"cmake{cmake}", "ninja"])
        elif group == "runtime":
            out.extend(pyproject["project"]["dependencies"])
        else:
            add_extra(group)
    print("\n".join(dict.fromkeys(out)))


if __name__ == "__main__":
    main(sys.argv[1:])
