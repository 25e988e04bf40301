#!/usr/bin/env python3
"""The source entry that set-up derives from apt's configuration, from tables of files."""
import tempfile
import unittest
from pathlib import Path

from apt_source_entry import read_entries, source_stanza

MIRROR = "http://mirror.example/debian"
DEB822_BINARY = f"""Types: deb
# a comment inside the stanza
URIs: {MIRROR}/
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://security.example/debian-security
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
            ("one line, a proxy's address", {"sources.list": "deb http://proxy:3142/debian bookworm main # cached\n"},
             "http://proxy:3142/debian", "main", None),
            ("two mirrors", {"a.list": f"deb {MIRROR} bookworm main\n",
                             "b.list": "deb http://other.example/debian bookworm main non-free\n"},
             f"{MIRROR} http://other.example/debian", "main non-free", None),
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
            ("another mirror", {"debian.sources": DEB822_BINARY, "src.list": "deb-src http://x.example/d bookworm main\n"}),
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
