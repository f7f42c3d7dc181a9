#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html and checks it:
#   1. setup (scripts/setup.sh docs): Sphinx, its theme, numpydoc, sphinx-gallery,
#      sphinx-copybutton, matplotlib and zorv's arrays and dask extras, then zorv, into the
#      virtual environment; Debian's libjs-katex, python3-doc and python-scipy-doc
#      (installed when missing);
#   2. the site, with warnings as errors: the tutorials' scripts (sphinx-gallery) and the
#      concepts' figures (matplotlib's plot directive) run as it is built;
#   3. every >>> example of the pages and of zorv_arrays' docstrings (the doctest builder):
#      a number that differs from the one printed on the page fails;
#   4. every page and anchor the site links to exists (external links are only listed),
#      every page has what a reader needs (copy buttons, local scripts only, code lines
#      within 79 columns, the release on the home page, a dated changelog), and every
#      public name of zorv and zorv_arrays has a reference entry and an entry in its
#      page's contents (scripts/check_site.py);
#   5. the home page, the concepts (with formulas), the tutorials' gallery and the first
#      tutorial in headless Chromium (Debian's package, installed when missing): a console
#      error, a blank page or a formula KaTeX did not typeset fails;
#      the screenshots are kept in docs/_build/screenshots/.
# Open docs/_build/html/index.html in a browser to read the site.
#
# Usage: scripts/docs.sh    (PYTHON and ZORV_VENV as for scripts/setup.sh; Sphinx 9 needs
#                           Python 3.11 or later)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh
source scripts/debian_packages.sh
VENV="${ZORV_VENV:-.venv}"
start="$SECONDS"

require_sphinx_python() {  # Sphinx 9 runs on Python 3.11 or later
  if ! "$1" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    echo "docs: the site is built with Sphinx 9, which needs Python 3.11 or later; $1 is" \
      "$("$1" -c 'import sys; print(sys.version.split()[0])'). Name a newer one, e.g." \
      "PYTHON=python3.11 ZORV_VENV=.venvs/3.11 bash scripts/docs.sh" >&2
    exit 1
  fi
}

interpreter="$(find_python "${PYTHON:-python3}")"
if [ -n "$interpreter" ]; then require_sphinx_python "$interpreter"; fi
bash scripts/setup.sh docs
python="$VENV/bin/python"
require_sphinx_python "$python"
# What the build reads from this machine, never from the network: KaTeX, which typesets
# the formulas, and the inventories of Python's and SciPy's documentation, which the
# pages link to (NumPy's is written by docs/conf.py).
if command -v dpkg-query >/dev/null 2>&1; then
  install_missing_debian_packages docs libjs-katex python3-doc python-scipy-doc
fi
site_start="$SECONDS"

# A clean build: every tutorial and figure runs again (sphinx-gallery keeps its output
# beside the sources, autosummary its pages of zorv_arrays' functions and classes).
rm -rf docs/_build docs/auto_tutorials docs/sg_execution_times.rst docs/api/generated
build=(env MPLBACKEND=Agg "$python" -m sphinx -W --keep-going -q -d docs/_build/doctrees)
echo "docs: building the site (the tutorials and figures run)"
"${build[@]}" -b html docs docs/_build/html
# zorv also writes the message of a call it refuses with PanicException to stderr, as
# its contract says: the examples that show such a refusal would print it here like a
# failure. What the examples write to stderr is kept in a file, shown if they fail.
echo "docs: running the examples of the pages and docstrings"
mkdir -p docs/_build
if ! "${build[@]}" -b doctest docs docs/_build/doctest 2>docs/_build/doctest-stderr.txt; then
  cat docs/_build/doctest-stderr.txt >&2
  echo "docs: an example failed (see above and docs/_build/doctest/output.txt)" >&2
  exit 1
fi

echo "docs: checking links, anchors and reference entries"
"$python" scripts/check_site.py links docs/_build/html
"$python" scripts/check_site.py names docs/_build/html

if command -v dpkg-query >/dev/null 2>&1; then
  install_missing_debian_packages docs chromium
fi
chromium="$(command -v chromium || command -v chromium-browser || true)"
if [ -z "$chromium" ]; then
  echo "docs: no chromium on this machine (Debian package chromium): the pages cannot be opened" >&2
  exit 1
fi
first_tutorial="$(cd docs/_build/html && ls auto_tutorials/plot_*.html 2>/dev/null | head -n 1 || true)"
if [ -z "$first_tutorial" ]; then
  echo "docs: the gallery has no tutorial page (docs/tutorials/plot_*.py)" >&2
  exit 1
fi
echo "docs: opening the pages in headless Chromium"
"$python" scripts/check_site.py browser "$chromium" docs/_build/screenshots docs/_build/html \
  index.html concepts.html auto_tutorials/index.html "$first_tutorial"

echo "docs: built and checked in $((SECONDS - site_start)) s ($((SECONDS - start)) s with the setup):" \
  "open docs/_build/html/index.html"
