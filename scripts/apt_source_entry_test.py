#!/usr/bin/env python3
"""The source entry that set-up derives from apt's configuration, from tables of files.

The addresses in the tables are the machine's own: the repository URIs that apt itself
reads from its configuration (apt-get indextargets), so that the repository names no
package host of its own."""
import subprocess
import tempfile
import unittest
from pathlib import Path
from urllib.parse import urlsplit, urlunsplit

from apt_source_entry import read_entries, source_stanza


def configured_uris():
    """The distinct repository URIs of apt's configuration, as apt reads them."""
    try:
        listed = subprocess.run(["apt-get", "indextargets", "--format", "$(REPO_URI)"], capture_output=True,
                                text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError) as error:
        raise unittest.SkipTest(f"apt's configuration cannot be read here: {error}")
    uris = list(dict.fromkeys(listed))
    if not uris:
        raise unittest.SkipTest("apt's configuration names no repository")
    return uris


def with_port(uri, port):
    """The same address through another port, as a local proxy or cache serves it."""
    parts = urlsplit(uri)
    return urlunsplit(parts._replace(netloc=f"{parts.hostname}:{port}"))


URIS = configured_uris()
MIRROR = URIS[0].rstrip("/")
# A second address: the machine's own second repository, or a folder beside the first.
OTHER = URIS[1].rstrip("/") if len(URIS) > 1 else MIRROR + "-other"
PORTED = with_port(MIRROR, 3142)
DEB822_BINARY = f"""Types: deb
# a comment inside the stanza
URIs: {MIRROR}/
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: {OTHER}
Suites: bookworm-security
Components: main
"""


class SourceEntry(unittest.TestCase):
    def stanza(self, files):
        with tempfile.TemporaryDirectory() as folder:
            paths = []
            for name, text in files.items():
                path = Path(folder) / name
                path.write_text(text)
                paths.append(str(path))
            return source_stanza(read_entries(paths + [str(Path(folder) / "absent.list")]), "bookworm")

    def test_derives_the_stanza_from_binary_entries_of_either_format(self):
        cases = [
            ("deb822", {"debian.sources": DEB822_BINARY}, MIRROR + "/", "main contrib",
             "/usr/share/keyrings/debian-archive-keyring.gpg"),
            ("one line with options", {"sources.list": f"deb [arch=amd64 signed-by=/k.gpg] {MIRROR} bookworm main\n"},
             MIRROR, "main", "/k.gpg"),
            ("one line, an address with a port", {"sources.list": f"deb {PORTED} bookworm main # cached\n"},
             PORTED, "main", None),
            ("two mirrors", {"a.list": f"deb {MIRROR} bookworm main\n",
                             "b.list": f"deb {OTHER} bookworm main non-free\n"},
             f"{MIRROR} {OTHER}", "main non-free", None),
        ]
        for name, files, uris, components, key in cases:
            with self.subTest(name):
                stanza = self.stanza(files)
                self.assertIn("Types: deb-src\n", stanza)
                self.assertIn(f"URIs: {uris}\n", stanza)
                self.assertIn("Suites: bookworm\n", stanza)
                self.assertIn(f"Components: {components}\n", stanza)
                if key:
                    self.assertIn(f"Signed-By: {key}\n", stanza)
                else:
                    self.assertNotIn("Signed-By", stanza)

    def test_writes_nothing_when_a_source_entry_for_those_uris_exists(self):
        cases = [
            ("one-line deb-src", {"debian.sources": DEB822_BINARY, "src.list": f"deb-src {MIRROR} bookworm main\n"}),
            ("deb822 with both types", {"x.sources": f"Types: deb deb-src\nURIs: {MIRROR}\nSuites: bookworm\n"
                                                     "Components: main\n"}),
        ]
        for name, files in cases:
            with self.subTest(name):
                self.assertEqual(self.stanza(files), "")

    def test_a_source_entry_that_does_not_count(self):
        cases = [
            ("disabled", {"debian.sources": DEB822_BINARY,
                          "src.sources": f"Types: deb-src\nURIs: {MIRROR}\nSuites: bookworm\nEnabled: no\n"}),
            ("commented out", {"debian.sources": DEB822_BINARY, "src.list": f"# deb-src {MIRROR} bookworm main\n"}),
            ("another suite", {"debian.sources": DEB822_BINARY, "src.list": f"deb-src {MIRROR} bookworm-updates main\n"}),
            ("another mirror", {"debian.sources": DEB822_BINARY, "src.list": f"deb-src {OTHER} bookworm main\n"}),
        ]
        for name, files in cases:
            with self.subTest(name):
                self.assertIn("Types: deb-src", self.stanza(files))

    def test_no_binary_entry_for_the_suite(self):
        cases = [
            ("only other suites", {"a.list": f"deb {MIRROR} trixie main\ndeb {MIRROR} bookworm-updates main\n"}),
            ("disabled", {"a.sources": f"Types: deb\nURIs: {MIRROR}\nSuites: bookworm\nEnabled: no\n"}),
            ("malformed lines", {"a.list": "deb\ndeb [signed-by=/k]\nrubbish here\n"}),
            ("nothing", {}),
        ]
        for name, files in cases:
            with self.subTest(name):
                self.assertIsNone(self.stanza(files))


if __name__ == "__main__":
    unittest.main()
