# The README's example must keep running as the module grows.
import pathlib
import runpy
import shutil
import sys
import xml.etree.ElementTree as ET

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "pipeline.py"


def test_pipeline_example_runs(capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # it writes its blob and DOT files under ./out
    monkeypatch.setattr(sys, "argv", [str(EXAMPLE)])
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("nodalis_core 0.0.1: 13 nodes")
    assert "reduced: 8 nodes, outputs [5, 6, 7]" in out
    assert ("report: input_nodes=13, reachable_nodes=12, canonical_nodes=10, stages=1, "
            "reduced_nodes=8, boundary_nodes=7") in out
    blob = (tmp_path / "out" / "pipeline.reduced.nir").read_bytes()
    assert blob.startswith(b"NIR1")
    dot = (tmp_path / "out" / "pipeline.reduced.dot").read_text()
    assert dot.startswith("digraph nodalis")
    svg = tmp_path / "out" / "pipeline.reduced.svg"
    assert svg.exists() == (shutil.which("dot") is not None)
    if svg.exists():
        assert ET.parse(svg).getroot().tag == "{http://www.w3.org/2000/svg}svg"
