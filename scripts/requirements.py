"""Prints the Python requirements of the build and of the given extras, one a line.

pyproject.toml is the one list of zorv's Python dependencies; the scripts read it
through this helper instead of keeping a second list. An extra that names zorv's
own extras (``zorv[test]``) is expanded here, so pip never has to resolve zorv itself.

Usage: python scripts/requirements.py [extra ...]
"""

import pathlib
import re
import sys

try:
    import tomllib
except ModuleNotFoundError:  # Python < 3.11: setup.sh installs tomli first
    import tomli as tomllib

PROJECT = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
SELF_REFERENCE = re.compile(r"^\s*zorv\s*\[([^\]]*)\]\s*(?:;\s*(.*))?$")


def requirements(extras):
    with PROJECT.open("rb") as file:
        project = tomllib.load(file)
    optional = project["project"].get("optional-dependencies", {})
    found = list(project["build-system"]["requires"])
    pending, seen = list(extras), set()
    while pending:
        extra = pending.pop(0)
        if extra in seen:
            continue
        if extra not in optional:
            raise SystemExit(f"requirements: pyproject.toml has no extra '{extra}'")
        seen.add(extra)
        for requirement in optional[extra]:
            match = SELF_REFERENCE.match(requirement)
            if match is None:
                found.append(requirement)
            elif match.group(2) is not None:
                raise SystemExit(f"requirements: markers on '{requirement}' are not supported")
            else:
                pending.extend(name.strip() for name in match.group(1).split(",") if name.strip())
    return list(dict.fromkeys(found))


if __name__ == "__main__":
    print("\n".join(requirements(sys.argv[1:])))
