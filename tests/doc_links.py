#!/usr/bin/env python3
"""Every relative link of the documentation resolves: the file exists, and a
#fragment names a heading of that file (GitHub's anchors).

Usage: doc_links.py <source dir>
"""
import pathlib
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^(```|~~~)")


def anchor(heading):
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def prose(path):
    """The lines of a Markdown file outside its code blocks."""
    inside = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if FENCE.match(line):
            inside = not inside
        elif not inside:
            yield line


def anchors(path):
    return {anchor(l.lstrip("#")) for l in prose(path) if l.startswith("#")}


def main(src):
    root = pathlib.Path(src)
    pages = [root / "README.md", root / "bench" / "README.md"]
    pages += sorted((root / "docs").glob("*.md"))
    bad = []
    for page in pages:
        text = "\n".join(prose(page))
        for target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue  # a URL
            name, _, frag = target.partition("#")
            dest = (page.parent / name).resolve() if name else page
            where = f"{page.relative_to(root)}: ({target})"
            if not dest.exists():
                bad.append(f"{where}: no such file")
            elif frag and dest.suffix == ".md" and frag not in anchors(dest):
                bad.append(f"{where}: no heading with that anchor")
    for line in bad:
        print("FAIL:", line)
    print(f"doc_links: {len(pages)} pages, {len(bad)} broken links")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
