"""The documentation site's checker finds every broken page, anchor and asset link,
every page that lacks what a reader needs, and every console error that Chromium logs."""

import importlib.util
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check_site.py"
found = importlib.util.spec_from_file_location("check_site", SCRIPT)
check_site = importlib.util.module_from_spec(found)
found.loader.exec_module(check_site)


def test_broken_pages_anchors_and_assets_are_found_and_external_links_only_listed(tmp_path):
    (tmp_path / "api").mkdir()
    (tmp_path / "api" / "index.html").write_text('<h1 id="top">API</h1><a name="old-anchor"></a>'
                                                 '<a href="../index.html#intro">home</a>')
    (tmp_path / "index.html").write_text(
        '<html><head><link rel="stylesheet" href="_static/missing.css">'
        '<script src="_static/app.js"></script></head><body>\n'
        '<p id="intro">text</p>\n'
        '<a href="#intro">here</a> <a href="api/">dir</a> <a href="api/index.html#top">top</a>\n'
        '<a href="api/index.html#old-anchor">named</a> <a href="api/index.html#gone">gone</a>\n'
        '<a href="#also%20gone">self</a> <a href="nowhere.html">nowhere</a>\n'
        '<img src="images/plot.png"> <a href="https://example.org/x">ext</a> <a href="mailto:a@b.c">mail</a>\n'
        '<a href="data:text/plain,x">inline</a></body></html>')
    (tmp_path / "_static").mkdir()
    (tmp_path / "_static" / "app.js").write_text("")

    problems, external = check_site.broken_links(tmp_path)

    found = sorted((problem.split(":")[0], problem.split("'")[1]) for problem in problems)
    assert found == [("index.html", "#also%20gone"), ("index.html", "_static/missing.css"),
                     ("index.html", "api/index.html#gone"), ("index.html", "images/plot.png"),
                     ("index.html", "nowhere.html")]
    assert external == ["https://example.org/x", "mailto:a@b.c"]


SOURCE = ', source: file:///site/index.html (7)'


@pytest.mark.parametrize("line, errors", [
    ('[1:1:1208/005919.099550:INFO:CONSOLE:7] "Uncaught Error: planted"' + SOURCE, ['"Uncaught Error: planted"']),
    ('[1:1:0101/000000.000001:INFO:CONSOLE(7)] "Failed to load resource"' + SOURCE, ['"Failed to load resource"']),
    ('[1:1:1208/005919.099550:INFO:CONSOLE:7] "Got invalid theme mode: . Resetting to auto."' + SOURCE,
     ['"Got invalid theme mode: . Resetting to auto."']),
    ('[1:1:1208/005919.099550:INFO:CONSOLE:7] "[PST] Error setting up collapse sidebar button"' + SOURCE,
     ['"[PST] Error setting up collapse sidebar button"']),
    ('[1:1:1208/005919.099550:INFO:CONSOLE:7] "[PST]: Changed to auto mode using the light theme."' + SOURCE, []),
    ('[1:1:1208/005919.099550:ERROR:gpu_init.cc(12)] Passthrough is not supported', []),
])
def test_console_messages_are_errors_except_the_themes_progress_notes(line, errors):
    assert [error.split(", source:")[0] for error in check_site.console_errors(line)] == errors


COPY = '<script src="{up}_static/clipboard.min.js"></script><script src="{up}_static/copybutton.js"></script>'
GOOD_SITE = {
    "index.html": '<span class="zorv-version navbar-item">v1.2.3</span>'
                  '<a href="https://docs.python.org/3/a.html">a</a><a href="https://numpy.org/doc/stable/b.html">b</a>'
                  '<a href="https://docs.scipy.org/doc/scipy/c.html">c</a>',
    # a code line of 79 columns, the most allowed
    "api/page.html": COPY.format(up="../") + '<div class="highlight"><pre>&gt;&gt;&gt; x = ' + "1" * 71
                     + '\n</pre></div>',
    "math.html": '<script defer src="_static/katex/katex.min.js"></script>'
                 '<script defer src="_static/zorv-math.js"></script><span class="math">\\(x\\)</span>',
    "auto_tutorials/plot.html": COPY.format(up="../") + '<div class="highlight"><pre>plt.show()</pre></div>'
                                '<div class="sphx-glr-script-out highlight-none"><div class="highlight"><pre>'
                                + "an output line may be long " * 4 + '</pre></div></div>',
    "changelog.html": '<section id="unreleased"><h2>Unreleased</h2><section id="a"><h3>API changes</h3></section>'
                      '</section><section id="v"><h2>1.2.3 (2026-01-02)<a class="headerlink">#</a></h2>'
                      '<section id="b"><h3>API changes</h3></section><section id="c"><h3>Tests</h3></section>'
                      '</section>',
    "_downloads/0a1b/plot.py": '"""A tutorial\n============\n"""\n# ' + "-" * 69 + " at most\n",  # 79 columns
}


@pytest.mark.parametrize("page, old, new, expected", [
    (None, "", "", None),
    ("api/page.html", "copybutton.js", "other.js",
     "api/page.html: has code blocks but does not load _static/copybutton.js"),
    ("math.html", "_static/katex/katex.min.js", "https://cdn.example/katex.min.js", "from the network"),
    ("math.html", '<script defer src="_static/zorv-math.js"></script>', "", "does not load _static/zorv-math.js"),
    ("api/page.html", "x = 1", "x = 11", "api/page.html: a code line of 80 columns"),
    ("auto_tutorials/plot.html", "an output line", "Text(0.5, 1.0, 'title')\nan output line", "stray output"),
    ("_downloads/0a1b/plot.py", "at most", "at most!", "plot.py:4: 80 columns"),
    ("index.html", "v1.2.3", "v1.2.2", "not the release 1.2.3"),
    ("changelog.html", "1.2.3 (2026-01-02)", "1.2.3", "'1.2.3' has no date"),
    ("changelog.html", "<h3>API changes</h3></section><section", "<h3>Fixes</h3></section><section",
     "'1.2.3 (2026-01-02)' has no 'API changes' section"),
    ("index.html", "https://numpy.org/doc/stable/", "https://example.org/", "no page links to https://numpy.org"),
])
def test_pages_lacking_what_a_reader_needs_are_found(tmp_path, page, old, new, expected):
    for name, text in GOOD_SITE.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text.replace(old, new) if name == page else text, encoding="utf-8")

    problems = check_site.page_feature_problems(tmp_path, "1.2.3")

    if expected is None:
        assert problems == []
    else:
        assert any(expected in problem for problem in problems), problems
