"""Sphinx configuration of velkan's documentation site.

The user guide is Markdown (MyST), the API reference comes from the docstrings (numpydoc
format), and the gallery runs every script of examples/gallery while the site is built
(sphinx-gallery): an example that fails fails the build. `scripts/build_docs.sh` builds
it with warnings as errors.
"""

import os

import velkan

project = "velkan"
author = "the velkan developers"
copyright = "2026, the velkan developers"
release = version = velkan.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip",
                    "auto_examples/*.md5", "auto_examples/*.json"]

myst_heading_anchors = 3
myst_enable_extensions = ["dollarmath"]

autodoc_member_order = "bysource"
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_validation_checks = set()
numpydoc_xref_param_type = False

sphinx_gallery_conf = {
    "examples_dirs": os.path.join("..", "examples", "gallery"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"\.py$",          # run every example, not only plot_*
    "abort_on_example_error": True,
    "plot_gallery": "True",
    "download_all_examples": False,
    "remove_config_comments": True,
    "matplotlib_animations": False,
    "within_subsection_order": "FileNameSortKey",
}

html_theme = "alabaster"
html_theme_options = {"description": "Generalized additive models on a compiled core",
                      "fixed_sidebar": True}
html_static_path: list[str] = []


def _write_family_reference() -> None:
    """The families section of the API reference, one entry per family of the engine's
    table, so that a new family is documented the day it is added."""
    lines = [f".. autoclass:: velkan.{cls.__name__}" for cls in velkan._families.CLASSES.values()]
    folder = os.path.join(os.path.dirname(__file__), "_generated")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "families.rst"), "w") as fh:
        fh.write("\n".join(lines) + "\n")


_write_family_reference()
exclude_patterns.append("_generated/*")
