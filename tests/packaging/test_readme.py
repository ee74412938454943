"""The Python examples of the README and of the pages in docs/ run as written
(doctest over each file's ```python blocks, in order, sharing one namespace
per file)."""

import doctest
import glob
import os
import re

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
README = os.path.join(ROOT, "README.md")
# Empty when the tests run from an installed copy, without the repository around them.
DOCS = sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "docs", "*.md")))
PAGES = (["README.md"] if os.path.exists(README) else []) + DOCS


def examples(page):
    with open(os.path.join(ROOT, page), encoding="utf-8") as f:
        return re.findall(r"^```python\n(.*?)^```", f.read(), flags=re.M | re.S)


@pytest.mark.parametrize("page", [p for p in PAGES if examples(p)])
def test_examples(page):
    path = os.path.join(ROOT, page)
    test = doctest.DocTestParser().get_doctest("\n".join(examples(page)), {}, page, path, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.tries > 0  # every page shows at least one example
    assert runner.failures == 0


@pytest.mark.skipif(not os.path.exists(README), reason="the README is not beside the tests")
def test_readme_links_every_page_of_the_docs():
    with open(README, encoding="utf-8") as f:
        readme = f.read()
    missing = [p for p in DOCS if f"]({p.replace(os.sep, '/')})" not in readme]
    assert not missing
