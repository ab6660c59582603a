"""The README's Python examples as one module, each in a function of its
own, for mypy --strict: python scripts/readme_examples.py > OUT.py"""

import re
import textwrap
from pathlib import Path

readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
blocks = re.findall(r"```python\n(.*?)```", readme, re.DOTALL)
for number, block in enumerate(blocks):
    print(f"\n\ndef example_{number}() -> None:")
    print(textwrap.indent(block, "    "), end="")
