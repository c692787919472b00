"""The README's tour runs as a script and prints what its comments say."""

import contextlib
import io
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def tour_source():
    text = README.read_text(encoding="utf-8")
    section = text.split("## A tour of the API", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, flags=re.DOTALL)
    assert blocks, "the tour has no python blocks"
    return "".join(blocks)


def expected_prints(source):
    """The comment after each `print(...)` line, without its ` -- ` remark."""
    found = []
    for line in source.splitlines():
        match = re.match(r"print\(.*\)\s+# (.*)$", line)
        if match:
            found.append(match.group(1).split(" -- ")[0].strip())
        else:
            assert not line.startswith("print("), f"print without its result: {line}"
    return found


def test_tour_prints_what_its_comments_show():
    source = tour_source()
    expected = expected_prints(source)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(source, str(README), "exec"), {"__name__": "tour"})
    assert out.getvalue().splitlines() == expected
