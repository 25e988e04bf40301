#!/usr/bin/env python3
"""Derives a source-package entry from the system's own apt configuration.

    apt_source_entry.py CODENAME SOURCE_FILE...

Reads apt's source files (one-line `.list` and deb822 `.sources`), takes the binary
entries that serve the suite CODENAME, and prints a deb822 `deb-src` stanza with their
URIs, that suite, their components and their key. Prints nothing when source entries for
those URIs and that suite exist already. Exit code 1 when no binary entry serves CODENAME.
"""
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Entry:
    types: list
    uris: list
    suites: list
    components: list
    signed_by: str = ""
    enabled: bool = True
    origin: str = field(default="", compare=False)


def _normalise(uri):
    return uri.rstrip("/")


def parse_one_line(text, origin=""):
    """Entries of the one-line format: `deb [opt=value ...] URI SUITE [COMPONENT...]`."""
    entries = []
    for raw in text.splitlines():
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        options = {}
        match = re.match(r"^(\S+)\s+\[([^\]]*)\]\s*(.*)$", line)
        if match:
            kind, option_text, rest = match.groups()
            for option in option_text.split():
                key, _, value = option.partition("=")
                options[key.lower()] = value
        else:
            kind, _, rest = line.partition(" ")
        words = rest.split()
        if kind not in ("deb", "deb-src") or len(words) < 2:
            continue
        entries.append(Entry([kind], [words[0]], [words[1]], words[2:],
                             options.get("signed-by", ""), True, origin))
    return entries


def parse_deb822(text, origin=""):
    """Entries of the deb822 format: stanzas separated by blank lines."""
    entries = []
    for stanza in re.split(r"\n\s*\n", text):
        fields = {}
        key = None
        for raw in stanza.splitlines():
            if raw.startswith("#"):
                continue
            if raw[:1] in (" ", "\t") and key:
                fields[key] += "\n" + raw.strip()
                continue
            name, sep, value = raw.partition(":")
            if not sep:
                continue
            key = name.strip().lower()
            fields[key] = value.strip()
        if "types" not in fields or "uris" not in fields or "suites" not in fields:
            continue
        entries.append(Entry(fields["types"].split(), fields["uris"].split(), fields["suites"].split(),
                             fields.get("components", "").split(), fields.get("signed-by", ""),
                             fields.get("enabled", "yes").lower() != "no", origin))
    return entries


def read_entries(paths):
    entries = []
    for path in map(Path, paths):
        if not path.is_file():
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        if path.suffix == ".sources":
            entries += parse_deb822(text, str(path))
        elif path.suffix == ".list" or path.name == "sources.list":
            entries += parse_one_line(text, str(path))
    return entries


def source_stanza(entries, codename):
    """The deb-src stanza to add, "" when one exists; None when nothing serves codename."""
    binary = [e for e in entries if e.enabled and "deb" in e.types and codename in e.suites]
    if not binary:
        return None
    uris = []
    components = []
    for entry in binary:
        for uri in entry.uris:
            if uri not in uris and not uri.startswith("cdrom:"):
                uris.append(uri)
        for component in entry.components:
            if component not in components:
                components.append(component)
    if not uris:
        return None
    have = {_normalise(uri) for e in entries if e.enabled and "deb-src" in e.types and codename in e.suites
            for uri in e.uris}
    if all(_normalise(uri) in have for uri in uris):
        return ""
    keys = [e.signed_by for e in binary if e.signed_by]
    lines = ["Types: deb-src", "URIs: " + " ".join(uris), "Suites: " + codename,
             "Components: " + " ".join(components or ["main"])]
    if keys and "\n" not in keys[0]:
        lines.append("Signed-By: " + keys[0])
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    stanza = source_stanza(read_entries(argv[2:]), argv[1])
    if stanza is None:
        print(f"apt_source_entry: no binary entry serves the suite {argv[1]}", file=sys.stderr)
        return 1
    sys.stdout.write(stanza)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
