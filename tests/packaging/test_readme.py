"""The README's Python examples run as written (doctest over its ```python
blocks, in order, sharing one namespace)."""

import doctest
import os
import re

import pytest

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


@pytest.mark.skipif(not os.path.exists(README), reason="the README is not beside the tests")
def test_readme_examples():
    with open(README, encoding="utf-8") as f:
        blocks = re.findall(r"^```python\n(.*?)^```", f.read(), flags=re.M | re.S)
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README.md", README, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.tries > 10
    assert runner.failures == 0
