# The README's example must run as written (it saves a blob, reloads it and
# writes a DOT file, here into a scratch directory).
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_example_runs(tmp_path, monkeypatch, capsys):
    block = re.search(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S).group(1)
    monkeypatch.chdir(tmp_path)
    exec(compile(block, str(README), "exec"), {"__name__": "readme"})
    assert (tmp_path / "pipeline.nir").read_bytes().startswith(b"NIR1")
    dot = (tmp_path / "pipeline.dot").read_text(encoding="utf-8")
    assert dot.startswith("digraph nodalis {\n") and dot.endswith("}\n")
    assert len(capsys.readouterr().out.splitlines()) == 4  # one line per node


def test_readme_run_example_runs(capsys):
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## Running a graph on data"):]
    block = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    exec(compile(block, str(README), "exec"), {"__name__": "readme"})
    totals = capsys.readouterr().out
    assert "1.2237" in totals and "0.0" in totals  # tanh(1.0) + tanh(0.5) = 1.2237...
