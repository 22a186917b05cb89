# The README's example must keep running as the module grows.
import pathlib
import runpy

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "pipeline.py"


def test_pipeline_example_runs(capsys):
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("nodalis_core 0.0.1: 13 nodes")
    assert "reduced: 8 nodes, outputs [5, 6, 7]" in out
    assert ("report: input_nodes=13, reachable_nodes=12, canonical_nodes=10, stages=1, "
            "reduced_nodes=8, boundary_nodes=7") in out
