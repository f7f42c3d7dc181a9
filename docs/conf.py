"""Sphinx configuration of zorv's documentation site (built by scripts/docs.sh).

Everything is built offline: no intersphinx, no remote assets. The examples on the
pages run at build time (the tutorials' scripts through sphinx-gallery, the figures
of the concepts through matplotlib's plot directive, the ``>>>`` examples of the pages
and of zorv_arrays' docstrings through the doctest builder), so the site cannot drift
from the code it describes.
"""

import importlib.metadata
import os

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
    "sphinx.ext.doctest",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
]

# The tutorials' sources are read by sphinx-gallery, which writes their pages to auto_tutorials/.
exclude_patterns = ["_build", "tutorials"]
templates_path = []
nitpicky = False
default_role = "literal"

# zorv_arrays' reference comes from its NumPy-style docstrings, as help() shows them.
autodoc_typehints = "none"  # the signature and the numpydoc parameter list say it once
autodoc_member_order = "bysource"
numpydoc_show_class_members = False  # each method gets its own entry below its class
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# Every >>> example runs in the doctest builder; their numbers must match exactly.
doctest_global_setup = "import numpy as np\nnp.set_printoptions(legacy=False)"
doctest_test_doctest_blocks = "default"

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
html_static_path = ["_static"]
html_css_files = ["zorv.css"]
html_show_sourcelink = False
html_copy_source = False
html_theme_options = {
    # Nothing is fetched when a page is viewed: no icons from remote sites, no version
    # switcher or announcement loaded from a URL.
    "icon_links": [],
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
# A mode to start from: without one the theme's script logs an error on a first visit.
html_context = {"default_mode": "auto"}
# The pages of the top level have no section to navigate: no empty left column there.
html_sidebars = {page: [] for page in ("index", "getting_started", "concepts", "performance", "platforms",
                                       "reliability", "changelog", "search", "genindex", "py-modindex")}
