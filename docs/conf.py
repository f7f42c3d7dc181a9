"""Sphinx configuration of zorv's documentation site (built by scripts/docs.sh).

Everything is built offline: nothing is fetched when the site is built or when a page
is viewed. Cross-references to Python, NumPy and SciPy come from local inventories, and
the formulas are typeset by a local copy of KaTeX. The examples on the
pages run at build time (the tutorials' scripts through sphinx-gallery, the figures
of the concepts through matplotlib's plot directive, the ``>>>`` examples of the pages
and of zorv_arrays' docstrings through the doctest builder), so the site cannot drift
from the code it describes.
"""

import importlib.metadata
import os
import shutil
import zlib
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")  # figures are drawn without a display

project = "zorv"
author = "the zorv developers"
copyright = "the zorv developers"
try:
    release = importlib.metadata.version("zorv")
except importlib.metadata.PackageNotFoundError:  # a build folder on PYTHONPATH
    release = "0.1.0"
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "sphinx.ext.intersphinx",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "sphinx_copybutton",
]

# The tutorials' sources are read by sphinx-gallery, which writes their pages to auto_tutorials/.
exclude_patterns = ["_build", "tutorials"]
templates_path = ["_templates"]
nitpicky = False
default_role = "literal"

# zorv_arrays' reference comes from its NumPy-style docstrings, as help() shows them.
autodoc_typehints = "none"  # the signature and the numpydoc parameter list say it once
autodoc_member_order = "bysource"
# A page per class and function of zorv_arrays (api/generated/), from the templates in
# _templates/autosummary: a class's page documents its properties and methods in full.
autosummary_generate = True
# The page contents list a class's members by their own names (evaluate(), not
# LegendreSpace.evaluate()), which fit the sidebar.
toc_object_entries_show_parents = "hide"
numpydoc_show_class_members = False  # each method gets its own entry below its class
numpydoc_class_members_toctree = False
# The types of the parameters and results link to Python's, NumPy's and SciPy's pages;
# a word that is not named here stays plain text.
numpydoc_xref_param_type = True
numpydoc_xref_ignore = "all"
# (An alias that names itself would stay plain text: those are written as roles.)
numpydoc_xref_aliases = {
    **{name: f":class:`{name}`" for name in ("int", "float", "bool", "str", "list", "tuple", "numpy.float64",
                                             "numpy.int64", "scipy.sparse.csr_array", "scipy.interpolate.PPoly")},
    "callable": ":term:`python:callable`",
    "array_like": ":term:`numpy:array_like`",
    "ndarray": "numpy.ndarray",
    "float64": "numpy.float64",
    "int64": "numpy.int64",
    "numpy.polynomial.Legendre": "numpy.polynomial.legendre.Legendre",
    "LegendreSpace": "zorv_arrays.LegendreSpace",
}

# Links to Python's, NumPy's and SciPy's reference pages, resolved from inventories on this
# machine: Debian's python3-doc and python-scipy-doc (scripts/docs.sh installs them). Debian
# has no package of NumPy's documentation, so the inventory of the NumPy names these pages
# refer to is written here, from the list below, with the addresses of numpy.org's stable
# reference. A name missing from the list stays plain text.
NUMPY_URL = "https://numpy.org/doc/stable/"
NUMPY_NAMES = [  # (name, role, address below NUMPY_URL, in which "$" stands for the name)
    ("numpy.ndarray", "py:class", "reference/generated/$.html#$"),
    ("numpy.float64", "py:class", "reference/arrays.scalars.html#$"),
    ("numpy.int64", "py:class", "reference/arrays.scalars.html#$"),
    ("numpy.asarray", "py:function", "reference/generated/$.html#$"),
    ("numpy.empty", "py:function", "reference/generated/$.html#$"),
    ("numpy.fromiter", "py:function", "reference/generated/$.html#$"),
    ("numpy.linspace", "py:function", "reference/generated/$.html#$"),
    ("numpy.random.default_rng", "py:function", "reference/random/generator.html#$"),
    ("numpy.polynomial.legendre.Legendre", "py:class", "reference/generated/$.html#$"),
    ("numpy.polynomial.legendre.legval", "py:function", "reference/generated/$.html#$"),
    ("numpy.polynomial.legendre.leggauss", "py:function", "reference/generated/$.html#$"),
    ("array_like", "std:term", "glossary.html#term-array_like"),
]
_numpy_inventory = Path(__file__).resolve().parent / "_build" / "numpy-objects.inv"
_numpy_inventory.parent.mkdir(parents=True, exist_ok=True)
_numpy_inventory.write_bytes(
    b"# Sphinx inventory version 2\n# Project: NumPy\n# Version: stable\n"
    b"# The remainder of this file is compressed using zlib.\n"
    + zlib.compress("".join(f"{name} {role} 1 {page.replace('$', name)} -\n"
                            for name, role, page in NUMPY_NAMES).encode()))

intersphinx_mapping = {
    "python": ("https://docs.python.org/3/", "/usr/share/doc/python3/html/objects.inv"),
    "numpy": (NUMPY_URL, str(_numpy_inventory)),
    "scipy": ("https://docs.scipy.org/doc/scipy/", "/usr/share/doc/python-scipy-doc/html/objects.inv"),
}

# Every >>> example runs in the doctest builder; their numbers must match exactly. Each
# example imports what it uses: the setup binds no name (zorv's reference runs each
# example alone, in a group of its own, to prove that it can be copied on its own).
doctest_global_setup = "import numpy as _numpy\n_numpy.set_printoptions(legacy=False)\ndel _numpy"
doctest_test_doctest_blocks = "default"

# The copy button of every code block copies the code alone: the ">>> " and "... "
# prompts and the output lines are left out, so that an example pastes into Python.
copybutton_prompt_text = r">>> |\.\.\. "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True

# The concepts' figures: drawn by the build, with their source shown on request.
plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.autolayout": True, "font.size": 10}

sphinx_gallery_conf = {
    "examples_dirs": "tutorials",
    "gallery_dirs": "auto_tutorials",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "plot_gallery": "True",
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "remove_config_comments": True,
    "show_memory": False,
    "show_signature": False,
    # The pages of execution times load their table script from a remote site: not built.
    "write_computation_times": False,
}

html_theme = "pydata_sphinx_theme"
html_title = "zorv"
# Formulas: Sphinx's math renderer writes the TeX between \( \) and \[ \], and loads
# `mathjax_path` on the pages that have formulas. Here that is KaTeX, from Debian's
# libjs-katex (scripts/docs.sh installs it), copied into the site's _static/katex/;
# _static/zorv-math.js typesets the formulas with it once the page is loaded.
KATEX = Path("/usr/share/javascript/katex")
if not (KATEX / "katex.min.js").is_file():
    raise RuntimeError(f"no KaTeX in {KATEX}: install Debian's libjs-katex (scripts/docs.sh does)")
_katex_static = Path(__file__).resolve().parent / "_build" / "katex_static"
shutil.copytree(KATEX, _katex_static / "katex", dirs_exist_ok=True,
                ignore=lambda folder, names: [name for name in names
                                              if name.endswith((".mjs", ".js", ".css"))
                                              and not name.endswith((".min.js", ".min.css"))])
mathjax_path = "katex/katex.min.js"

html_static_path = ["_static", str(_katex_static)]
html_css_files = ["zorv.css", "katex/katex.min.css"]
html_js_files = [("zorv-math.js", {"defer": "defer"})]
html_show_sourcelink = False
html_copy_source = False
html_theme_options = {
    # Nothing is fetched when a page is viewed: no icons from remote sites, no version
    # switcher or announcement loaded from a URL.
    "icon_links": [],
    # The release beside the logo, from a local template (the theme's version switcher
    # would load its list of versions from a URL).
    "navbar_start": ["navbar-logo", "version"],
    "navigation_with_keys": False,
    # The page contents show every function, class and method of the reference pages.
    "show_toc_level": 3,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
# A mode to start from: without one the theme's script logs an error on a first visit.
html_context = {"default_mode": "auto"}
# The pages of the top level have no section to navigate: no empty left column there.
html_sidebars = {page: [] for page in ("index", "getting_started", "concepts", "performance", "platforms",
                                       "reliability", "changelog", "search", "genindex", "py-modindex")}
