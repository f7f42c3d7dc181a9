"""The documentation site's checker finds every broken page, anchor and asset link, and
every console error that Chromium logs."""

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
