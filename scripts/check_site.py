"""Checks the built documentation site (scripts/docs.sh runs it after the build).

    python scripts/check_site.py links HTML_DIR
        Every relative link of every page (href of a, link; src of img, script, iframe)
        leads to a file of the site, and its #fragment to an id or name in that page.
        External links are listed, never fetched.

    python scripts/check_site.py names HTML_DIR
        Every public name of zorv (its module dictionary, and the methods of its classes)
        and of zorv_arrays (its __all__, and the public members of LegendreSpace) has an
        entry in the site's inventory (objects.inv).

    python scripts/check_site.py browser CHROMIUM SHOTS_DIR HTML_DIR PAGE...
        Opens each page in headless Chromium, keeps its screenshot in SHOTS_DIR and fails
        when the page logs a console error or the screenshot is one flat colour. A page that
        throws and a blank page are checked first: if either passes, the check itself is
        broken and fails.

Each command prints what it found and exits with 1 on a failure.
"""

from __future__ import annotations

import html.parser
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from urllib.parse import unquote, urlsplit

LINK_ATTRIBUTES = {"a": "href", "link": "href", "img": "src", "script": "src", "iframe": "src", "source": "src"}


class _PageParser(html.parser.HTMLParser):
    """The ids (and a names) a page defines and the links it makes."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.ids: set[str] = set()
        self.links: list[tuple[str, str, int]] = []  # (tag, target, line)

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = dict(attrs)
        for anchor in (values.get("id"), values.get("name") if tag == "a" else None):
            if anchor:
                self.ids.add(anchor)
        target = values.get(LINK_ATTRIBUTES.get(tag, ""))
        # <link rel="preload"/"stylesheet"/"icon"...> and <a href> are links; a
        # <link rel="canonical"> names the page itself, which is fine either way.
        if target is not None:
            self.links.append((tag, target, self.getpos()[0]))

    handle_startendtag = handle_starttag


def _parse(page: Path) -> _PageParser:
    parser = _PageParser()
    parser.feed(page.read_text(encoding="utf-8", errors="replace"))
    parser.close()
    return parser


def broken_links(root: Path) -> tuple[list[str], list[str]]:
    """(problems, external links) of the site under `root`."""
    # Pages are what Sphinx wrote; the theme's files under _static/ include templates
    # that merely end in .html.
    pages = sorted(page for page in root.rglob("*.html") if "_static" not in page.relative_to(root).parts)
    parsed = {page.resolve(): _parse(page) for page in pages}
    problems: list[str] = []
    external: set[str] = set()
    for page in pages:
        for tag, target, line in parsed[page.resolve()].links:
            parts = urlsplit(target)
            where = f"{page.relative_to(root)}:{line}: <{tag}> {target!r}"
            if parts.scheme in ("http", "https", "mailto", "ftp") or target.startswith("//"):
                external.add(target)
                continue
            if parts.scheme:  # data:, javascript: and other inline targets
                continue
            destination = (page.parent / unquote(parts.path)).resolve() if parts.path else page.resolve()
            if destination.is_dir():
                destination = destination / "index.html"
            if not destination.is_file():
                problems.append(f"{where}: no file {destination}")
                continue
            if parts.fragment and destination.suffix == ".html":
                if destination not in parsed:
                    parsed[destination] = _parse(destination)
                if unquote(parts.fragment) not in parsed[destination].ids:
                    problems.append(f"{where}: no id {parts.fragment!r} in {destination.name}")
    return problems, sorted(external)


def public_names() -> list[str]:
    """The fully qualified public names of both modules that need a reference entry."""
    import zorv
    import zorv_arrays

    names = []
    for name, value in vars(zorv).items():
        if name.startswith("_"):
            continue
        names.append(f"zorv.{name}")
        if isinstance(value, type):
            names += [f"zorv.{name}.{member}" for member in vars(value) if not member.startswith("_")]
    for name in zorv_arrays.__all__:
        names.append(f"zorv_arrays.{name}")
        value = getattr(zorv_arrays, name)
        if isinstance(value, type):
            names += [f"zorv_arrays.{name}.{member}" for member in vars(value) if not member.startswith("_")]
    return names


def missing_names(root: Path) -> list[str]:
    """Public names without an entry in the site's inventory."""
    from sphinx.util.inventory import InventoryFile

    inventory = InventoryFile.loads((root / "objects.inv").read_bytes(), uri="")
    documented = {name for kind, entries in inventory.data.items() if kind.startswith("py:") for name in entries}
    return [name for name in public_names() if name not in documented]


# A console message as headless Chromium logs it with --enable-logging=stderr --v=0, e.g.
#   [..:INFO:CONSOLE(12)] "Uncaught Error: boom", source: file:///x.html (12)
#   [..:INFO:CONSOLE:12] "Failed to load resource: net::ERR_FILE_NOT_FOUND", source: ...
# Messages of every level are logged alike, at INFO. Every message is an error here except
# the theme's own progress notes, which begin "[PST]" and report no error or failure.
CONSOLE_LINE = re.compile(r":CONSOLE[(:]\d*\)?\]\s*(.*)")
THEME_NOTE = re.compile(r'^"\[PST\]:? (?!.*(?:[Ee]rror|[Ff]ail))')


def screenshot(chromium: str, page: Path, png: Path) -> list[str]:
    """Opens `page`, writes its screenshot to `png`; returns its console messages."""
    png.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory(prefix="zorv-chromium-") as profile:
        command = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-extensions", "--hide-scrollbars", f"--user-data-dir={profile}",
                   "--enable-logging=stderr", "--v=0", "--virtual-time-budget=3000",
                   "--window-size=1280,2000", f"--screenshot={png}", page.resolve().as_uri()]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if not png.is_file():
        raise SystemExit(f"check_site: chromium wrote no screenshot of {page} "
                         f"(exit {result.returncode}):\n{result.stderr[-2000:]}")
    return console_errors(result.stderr)


def console_errors(log: str) -> list[str]:
    """The console messages in Chromium's log that are errors here."""
    messages = [match.group(1) for match in map(CONSOLE_LINE.search, log.splitlines()) if match]
    return [message for message in messages if not THEME_NOTE.match(message)]


def is_flat(png: Path) -> bool:
    """Whether the image is one colour (a blank page)."""
    import matplotlib.image

    pixels = matplotlib.image.imread(png)
    return bool((pixels == pixels[0, 0]).all())


def page_problems(chromium: str, page: Path, png: Path) -> list[str]:
    problems = [f"{page.name}: console: {message}" for message in screenshot(chromium, page, png)]
    if is_flat(png):
        problems.append(f"{page.name}: the page is blank (its screenshot is one colour)")
    return problems


def check_the_checker(chromium: str) -> None:
    """A page that throws and a blank page must both be found, or the check proves nothing."""
    with tempfile.TemporaryDirectory(prefix="zorv-canary-") as directory:
        canaries = Path(directory)
        throwing = canaries / "throws.html"
        throwing.write_text("<html><body><h1>A page with text</h1><script>throw Error('planted')</script>"
                            "</body></html>", encoding="utf-8")
        blank = canaries / "blank.html"
        blank.write_text("<html><body></body></html>", encoding="utf-8")
        thrown = page_problems(chromium, throwing, canaries / "throws.png")
        if not any("planted" in problem for problem in thrown):
            raise SystemExit("check_site: a planted script error went unseen: the console check is broken")
        if any("blank" in problem for problem in thrown) or \
                not any("blank" in problem for problem in page_problems(chromium, blank, canaries / "blank.png")):
            raise SystemExit("check_site: the blank-page check cannot tell a blank page from a page with text")


def main(argv: list[str]) -> int:
    command = argv[0] if argv else ""
    if command == "links" and len(argv) == 2:
        problems, external = broken_links(Path(argv[1]))
        print(f"check_site: {len(external)} external links (not fetched):")
        for target in external:
            print(f"  {target}")
        label = "broken links"
    elif command == "names" and len(argv) == 2:
        problems = [f"no reference entry for {name}" for name in missing_names(Path(argv[1]))]
        print(f"check_site: {len(public_names())} public names, {len(problems)} without a reference entry")
        label = "names without an entry"
    elif command == "browser" and len(argv) >= 5:
        chromium, shots, root = argv[1], Path(argv[2]), Path(argv[3])
        shots.mkdir(parents=True, exist_ok=True)
        check_the_checker(chromium)
        problems = []
        for name in argv[4:]:  # auto_tutorials/index.html -> auto_tutorials_index.png
            png = shots / (Path(name).with_suffix(".png").as_posix().replace("/", "_"))
            problems += page_problems(chromium, root / name, png)
            print(f"check_site: {root / name} -> {png}")
        label = "browser problems"
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for problem in problems:
        print(f"  {problem}", file=sys.stderr)
    if problems:
        print(f"check_site: {len(problems)} {label}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
