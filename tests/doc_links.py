#!/usr/bin/env python3
"""Every relative link of the documentation names a file that exists and,
with a #fragment, one of its headings (GitHub's anchors).
Usage: doc_links.py <source dir>"""
import pathlib
import re
import sys


def prose(path):  # the lines outside code blocks
    inside = False
    for line in path.read_text(encoding="utf-8").splitlines():
        inside ^= line.startswith("```")
        if not inside and not line.startswith("```"):
            yield line


def anchors(path):
    return {re.sub(r"[^\w\- ]", "", l.lstrip("#").strip().lower()).replace(" ", "-")
            for l in prose(path) if l.startswith("#")}


root = pathlib.Path(sys.argv[1])
pages = [root / "README.md", root / "bench/README.md", *sorted(root.glob("docs/*.md"))]
bad = 0
for page in pages:
    for target in re.findall(r"\]\(([^)\s]+)\)", "\n".join(prose(page))):
        name, _, frag = target.partition("#")
        dest = (page.parent / name) if name else page
        if re.match(r"[a-z]+:", target) or dest.is_dir():
            continue
        if not dest.exists() or (frag and frag not in anchors(dest)):
            print(f"FAIL: {page.relative_to(root)}: ({target}) does not resolve")
            bad += 1
print(f"doc_links: {len(pages)} pages, {bad} broken links")
sys.exit(1 if bad else 0)
