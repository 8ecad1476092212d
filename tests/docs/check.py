"""The manual as a newcomer meets it.

    check.py SOURCE_DIR

README.md stays a quick start (under 250 lines) that links every page of
docs/; every relative link of the README and of docs/ leads to a file that
is there and, with an anchor, to a heading of that file; and the manual
pages name every option their command's --help lists.
"""
import os
import re
import subprocess
import sys
import unittest

ROOT = None
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def slug(heading):
    """A heading's anchor as GitHub makes it."""
    s = heading.strip().lower()
    s = re.sub(r"[^\w\- ]", "", s)
    return s.replace(" ", "-")


def anchors(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"```.*?```", "", text, flags=re.S)
    return {slug(m.group(1)) for m in re.finditer(r"^#{1,6} (.*)$", text, re.M)}


def pages():
    docs = os.path.join(ROOT, "docs")
    return [os.path.join(ROOT, "README.md")] + sorted(
        os.path.join(docs, f) for f in os.listdir(docs) if f.endswith(".md"))


class Manual(unittest.TestCase):
    def test_readme_is_a_quick_start_that_links_every_page(self):
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            text = f.read()
        self.assertLess(text.count("\n"), 250)
        self.assertTrue(text.startswith("# KovaMem\n"))
        self.assertEqual(text.count("\n    scripts/"), 2, "the two set-up commands at the top")
        for page in pages()[1:]:
            self.assertIn("(docs/%s)" % os.path.basename(page), text)

    def test_every_link_leads_to_a_file_and_heading_that_are_there(self):
        broken = []
        for page in pages():
            with open(page, encoding="utf-8") as f:
                text = re.sub(r"```.*?```", "", f.read(), flags=re.S)
            for target in LINK.findall(text):
                if re.match(r"^[a-z]+:", target):
                    continue  # a web address: not followed here
                path, _, anchor = target.partition("#")
                dest = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                if not os.path.exists(dest):
                    broken.append("%s: %s (no file)" % (os.path.relpath(page, ROOT), target))
                elif anchor and dest.endswith(".md") and anchor not in anchors(dest):
                    broken.append("%s: %s (no such heading)" % (os.path.relpath(page, ROOT), target))
        self.assertEqual(broken, [])

    def test_manual_pages_name_every_option_of_the_help(self):
        for tool in ("kovamem-run", "kovamem-analyze"):
            help_text = subprocess.run([sys.executable, os.path.join(ROOT, "tools", tool), "--help"],
                                       capture_output=True, text=True, check=True).stdout
            options = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]+)", help_text)) - {"--"}
            with open(os.path.join(ROOT, "docs", tool + ".md"), encoding="utf-8") as f:
                page = f.read()
            missing = sorted(o for o in options if "`%s" % o not in page)
            self.assertEqual(missing, [], tool)

    def test_manual_pages_become_roff(self):
        sys.path.insert(0, os.path.join(ROOT, "tools"))
        import md2man
        for tool in ("kovamem-run", "kovamem-analyze"):
            with open(os.path.join(ROOT, "docs", tool + ".md"), encoding="utf-8") as f:
                roff = md2man.convert(f.read(), "1.0.0")
            self.assertTrue(roff.startswith('.TH "%s" "1"' % tool.upper()))
            for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "SEE ALSO"):
                self.assertIn("\n.SH %s\n" % section, roff)
            self.assertNotRegex(roff, r"\n[.'](?!TH|SH|TP|PP|RS|RE|nf|fi)")  # no text taken for a request


if __name__ == "__main__":
    ROOT = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
