# The README's example must keep running as the module grows.
import pathlib
import runpy

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "pipeline.py"


def test_pipeline_example_runs(capsys):
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("nodalis_core 0.0.1: 10 nodes")
    assert len(out) == 11
