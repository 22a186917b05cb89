# The README's example must keep running as the module grows.
import pathlib
import runpy
import shutil
import sys
import xml.etree.ElementTree as ET

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "pipeline.py"


def test_pipeline_example_runs(capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # it writes its blob, DOT and SVG files under ./out
    monkeypatch.setattr(sys, "argv", [str(EXAMPLE), "out", "3"])
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("nodalis_core 0.0.1: 18 nodes")
    assert "reduced: 10 nodes, outputs [7, 9, 5]" in out
    assert ("report: input_nodes=18, reachable_nodes=17, canonical_nodes=16, stages=3, "
            "reduced_nodes=10, boundary_nodes=7") in out
    assert "mean model scores per cultivar:" in out
    assert any(line.startswith("on 534 rows (the wine table 3 times)") and "speed-up" in line for line in out)
    blob = (tmp_path / "out" / "pipeline.reduced.nir").read_bytes()
    assert blob.startswith(b"NIR1")
    dot = (tmp_path / "out" / "pipeline.reduced.dot").read_text()
    assert dot.startswith("digraph nodalis")
    svg = tmp_path / "out" / "pipeline.reduced.svg"
    assert svg.exists() == (shutil.which("dot") is not None)
    if svg.exists():
        assert ET.parse(svg).getroot().tag == "{http://www.w3.org/2000/svg}svg"
