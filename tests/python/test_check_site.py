"""The documentation site's link checker finds every broken page, anchor and asset link."""

import importlib.util
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check_site.py"
spec = importlib.util.spec_from_file_location("check_site", SCRIPT)
check_site = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_site)


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
