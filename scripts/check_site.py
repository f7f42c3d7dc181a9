"""Checks the built documentation site (scripts/docs.sh runs it after the build).

    python scripts/check_site.py links HTML_DIR
        Every relative link of every page (href of a, link; src of img, script, iframe)
        leads to a file of the site, and its #fragment to an id or name in that page.
        External links are listed, never fetched. And every page has what a reader needs
        (page_feature_problems): the copy button where there is code, KaTeX where there
        are formulas, nothing loaded from the network, code lines (and the tutorials'
        downloadable scripts) within 79 columns, no stray output in the tutorials; the
        home page shows the release, the changelog dates its versions.

    python scripts/check_site.py names HTML_DIR
        Every public name of zorv (its module dictionary, and the methods of its classes)
        and of zorv_arrays (its __all__, and the public members of LegendreSpace) has an
        entry in the site's inventory (objects.inv), and its page's contents (the
        secondary sidebar) list it.

    python scripts/check_site.py browser CHROMIUM SHOTS_DIR HTML_DIR PAGE...
        Opens each page in headless Chromium, keeps its screenshot in SHOTS_DIR and fails
        when the page logs a console error, the screenshot is one flat colour, or a
        formula of the page is left untypeset. A page that
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
    """The ids (and a names) a page defines, the links it makes, and what it shows: its
    code blocks, formulas, headings and version label."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.ids: set[str] = set()
        self.links: list[tuple[str, str, int]] = []  # (tag, target, line)
        self.code: list[tuple[bool, str]] = []  # (a script's output?, text) of each <pre>
        self.formulas = 0  # span.math and div.math: the TeX that the page typesets
        self.headings: list[tuple[str, str, str]] = []  # (tag, id of its section, text)
        self.version_labels: list[str] = []  # the text of the navbar's .zorv-version
        self.contents: set[str] = set()  # the #fragments the page's contents (sidebar) link to
        self._in_contents = False
        self._section_ids: list[str] = []
        self._recent_classes: list[str] = []  # the classes of the last few start tags
        self._capture: tuple[str, list[str]] | None = None  # (tag, text) of a <pre>, <hN>, label

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
        if tag == "nav" and values.get("id") == "pst-page-toc-nav":
            self._in_contents = True
        elif tag == "a" and self._in_contents and (values.get("href") or "").startswith("#"):
            self.contents.add(unquote((values.get("href") or "")[1:]))
        classes = (values.get("class") or "").split()
        if tag in ("span", "div") and "math" in classes:
            self.formulas += 1
        if tag == "section" and values.get("id"):
            self._section_ids.append(values["id"] or "")
        if self._capture is None and (tag in ("pre", "h1", "h2", "h3") or "zorv-version" in classes):
            self._capture = (tag if tag != "span" else "version", [])
            self._capture_output = any("sphx-glr-script-out" in c for c in self._recent_classes)
        self._recent_classes = (self._recent_classes + [" ".join(classes)])[-3:]

    handle_startendtag = handle_starttag

    def handle_data(self, data: str) -> None:
        if self._capture is not None:
            self._capture[1].append(data)

    def handle_endtag(self, tag: str) -> None:
        if tag == "nav":
            self._in_contents = False
        if self._capture is None or tag != {"version": "span"}.get(self._capture[0], self._capture[0]):
            return
        kind, parts = self._capture
        self._capture = None
        text = "".join(parts)
        if kind == "pre":
            self.code.append((self._capture_output, text))
        elif kind == "version":
            self.version_labels.append(text.strip())
        else:
            section = self._section_ids[-1] if self._section_ids else ""
            self.headings.append((kind, section, text.strip().rstrip("#¶").strip()))


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


# What the pages must show beyond working links.
CODE_WIDTH = 79  # columns of a code line: of the tutorials, the pages' code blocks and the docstrings' examples
COPY_BUTTON_SCRIPTS = ("_static/clipboard.min.js", "_static/copybutton.js")
FORMULA_SCRIPTS = ("_static/katex/katex.min.js", "_static/zorv-math.js")
# Output a tutorial shows by accident: the repr of the matplotlib call that ends a code
# block, which plt.show() or an assignment (_ = ax.set_title(...)) hides.
STRAY_OUTPUT = re.compile(r"^(?:\[?<matplotlib\.|Text\(|\[<matplotlib)", re.MULTILINE)
# The sites the local inventories link to (docs/conf.py): each must be linked at least once,
# or the inventory is not read.
LINKED_DOCUMENTATION = ("https://docs.python.org/3/", "https://numpy.org/doc/stable/",
                        "https://docs.scipy.org/doc/scipy/")
VERSION_HEADING = re.compile(r"^\d+\.\d+\.\d+ \(\d{4}-\d{2}-\d{2}\)$")


def page_feature_problems(root: Path, release: str) -> list[str]:
    """What the pages under `root` lack: the copy button on pages with code, local
    scripts only, KaTeX on pages with formulas, the release on the home page, code lines
    within CODE_WIDTH columns, no stray output in the tutorials, a dated changelog with
    API changes per version, and links into each local inventory's documentation."""
    problems: list[str] = []
    linked: set[str] = set()
    for page in sorted(page for page in root.rglob("*.html") if "_static" not in page.relative_to(root).parts):
        name = page.relative_to(root).as_posix()
        parsed = _parse(page)
        to_root = "../" * (len(page.relative_to(root).parts) - 1)
        scripts = {target for tag, target, _ in parsed.links if tag == "script"}
        linked.update(target for tag, target, _ in parsed.links if tag == "a")
        for tag, target, _ in parsed.links:  # all but <a>: what the browser fetches to show the page
            if tag != "a" and (urlsplit(target).scheme in ("http", "https") or target.startswith("//")):
                problems.append(f"{name}: <{tag}> loads {target!r} from the network: pages must work offline")
        loaded = {urlsplit(target).path for target in scripts}
        for has, what, needed in ((parsed.code, "code blocks", COPY_BUTTON_SCRIPTS),
                                  (parsed.formulas, "formulas", FORMULA_SCRIPTS)):
            problems += [f"{name}: has {what} but does not load {script}"
                         for script in needed if has and to_root + script not in loaded]
        for output, text in parsed.code:
            for line in ([] if output else text.splitlines()):
                if len(line) > CODE_WIDTH:
                    problems.append(f"{name}: a code line of {len(line)} columns (at most {CODE_WIDTH}): "
                                    f"{line.strip()[:60]!r}...")
            if output and STRAY_OUTPUT.search(text):
                problems.append(f"{name}: stray output of a plotting call: "
                                f"{STRAY_OUTPUT.search(text).group(0)!r}... (end the block with plt.show())")
        if name == "index.html" and release not in parsed.version_labels and \
                f"v{release}" not in parsed.version_labels:
            problems.append(f"index.html: the navbar shows {parsed.version_labels}, not the release {release}")
        if name == "changelog.html":
            versions = [(section, text) for tag, section, text in parsed.headings if tag == "h2"]
            if not versions or versions[0][1] != "Unreleased":
                problems.append("changelog.html: the first version is not 'Unreleased'")
            for section, text in versions:
                if text != "Unreleased" and not VERSION_HEADING.match(text):
                    problems.append(f"changelog.html: the version {text!r} has no date (VERSION (YYYY-MM-DD))")
            for index, (section, text) in enumerate(versions):
                start = parsed.headings.index(("h2", section, text))
                end = parsed.headings.index(("h2",) + versions[index + 1]) if index + 1 < len(versions) \
                    else len(parsed.headings)
                if not any(tag == "h3" and heading == "API changes" for tag, _, heading in parsed.headings[start:end]):
                    problems.append(f"changelog.html: {text!r} has no 'API changes' section")
    for script in sorted(root.glob("_downloads/*/*.py")):  # the tutorials as readers download them
        problems += [f"{script.name}:{number}: {len(line)} columns (at most {CODE_WIDTH})"
                     for number, line in enumerate(script.read_text(encoding="utf-8").splitlines(), 1)
                     if len(line) > CODE_WIDTH]
    for site in LINKED_DOCUMENTATION:
        if not any(target.startswith(site) for target in linked):
            problems.append(f"no page links to {site}: its inventory was not read")
    return problems


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


def name_problems(root: Path) -> list[str]:
    """Public names without an entry in the site's inventory, or whose entry is missing
    from the contents (the secondary sidebar) of its page."""
    from sphinx.util.inventory import InventoryFile

    inventory = InventoryFile.loads((root / "objects.inv").read_bytes(), uri="")
    documented = {name: entry for kind, entries in inventory.data.items() if kind.startswith("py:")
                  for name, entry in entries.items()}
    problems, pages = [], {}
    for name in public_names():
        if name not in documented:
            problems.append(f"no reference entry for {name}")
            continue
        page, _, anchor = documented[name].uri.partition("#")
        if page not in pages:
            pages[page] = _parse(root / page)
        if anchor not in pages[page].contents:
            problems.append(f"{name} is not in the contents of {page}")
    return problems


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


def typeset_formulas(chromium: str, page: Path) -> int:
    """The number of formulas KaTeX typeset in `page` once its scripts ran."""
    with tempfile.TemporaryDirectory(prefix="zorv-chromium-") as profile:
        command = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-extensions", f"--user-data-dir={profile}", "--virtual-time-budget=3000",
                   "--dump-dom", page.resolve().as_uri()]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    return result.stdout.count('class="katex"')


def page_problems(chromium: str, page: Path, png: Path) -> list[str]:
    problems = [f"{page.name}: console: {message}" for message in screenshot(chromium, page, png)]
    if is_flat(png):
        problems.append(f"{page.name}: the page is blank (its screenshot is one colour)")
    formulas = _parse(page).formulas if page.suffix == ".html" else 0
    if formulas and typeset_formulas(chromium, page) < formulas:
        problems.append(f"{page.name}: KaTeX typeset fewer than its {formulas} formulas")
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
        import importlib.metadata

        problems, external = broken_links(Path(argv[1]))
        print(f"check_site: {len(external)} external links (not fetched):")
        for target in external:
            print(f"  {target}")
        problems += page_feature_problems(Path(argv[1]), importlib.metadata.version("zorv"))
        label = "broken links and missing features"
    elif command == "names" and len(argv) == 2:
        problems = name_problems(Path(argv[1]))
        print(f"check_site: {len(public_names())} public names, {len(problems)} without a reference entry"
              " or missing from their page's contents")
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
