"""The README's Python examples run as written, one after another, as a reader would
paste them."""

import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def python_blocks():
    return re.findall(r"^```python\n(.*?)^```$", README.read_text(), flags=re.MULTILINE | re.DOTALL)


def test_the_readme_python_examples_run():
    blocks = python_blocks()
    assert len(blocks) >= 5
    namespace: dict = {}
    for number, block in enumerate(blocks, start=1):
        exec(compile(block, f"README.md, python block {number}", "exec"), namespace)
