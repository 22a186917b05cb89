"""The nodalis command, run as a subprocess on blobs the tests write: what each
subcommand prints, writes and exits with, that Graphviz parses what render
hands it, and that failures are one line on stderr."""
import io
import json
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import nodalis_core
import pytest
from nodalis_core import GraphStore, IncrementalReducer
from nodalis_core import _display

import nodalis
from nodalis.cli import common, main
from graph_meaning import random_store, values

DOT = shutil.which("dot")
needs_dot = pytest.mark.skipif(DOT is None, reason="Graphviz 'dot' not installed")


def nodalis_cmd(*args, env=None, stdin=None):
    return subprocess.run([sys.executable, "-m", "nodalis", *map(str, args)], capture_output=True,
                          text=stdin is None, env=env, input=stdin, timeout=120)


def save(path: Path, store, outputs=None) -> Path:
    path.write_bytes(store.serialize(outputs))
    return path


def pipeline():
    """Sources, an identity, a commuted product, a stage-able chain, an external and reductions."""
    g = GraphStore()
    x, y = g.add_source("x", {"rows": 10}), g.add_source("y")
    a = g.add_op("tanh", [g.add_op("mul", [x, y])])
    b = g.add_op("exp", [g.add_op("add", [x, y])])
    a2 = g.add_op("tanh", [g.add_op("mul", [y, g.add_op("add", [x], {"scalar": 0.0, "side": "r"})])])
    ext = g.add_external({"kind": "onnx", "content_hash": "h1", "framework": "torch",
                          "version": "2", "io_schema": "f32"}, [a, b], {"batch": 4})
    total = g.add_reduction("sum", [ext], {"axis": 0})
    return g, [a, b, a2, total]


@pytest.fixture
def blob(tmp_path):
    g, outs = pipeline()
    return save(tmp_path / "p.nir", g, outs), g, outs


def one_line_error(proc, status, *fragments):
    assert proc.returncode == status, proc.stderr
    assert "Traceback" not in proc.stderr
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and "error:" in lines[0], proc.stderr
    for fragment in fragments:
        assert fragment in lines[0]


def test_inspect_lists_every_node(blob):
    path, g, outs = blob
    marked = GraphStore.deserialize(path.read_bytes())
    proc = nodalis_cmd("inspect", path)
    assert proc.returncode == 0, proc.stderr
    header, *lines = proc.stdout.splitlines()
    assert header == (f"{path}: {g.node_count()} nodes (1 external, 7 op, 1 reduction, 2 source), "
                      f"outputs {marked.outputs()}")
    assert [line.split()[:2] for line in lines] == [[f"%{n['id']}", n["kind"]] for n in g.nodes()]
    assert "model=h1 torch 2 io=f32" in lines[outs[3] - 1] and "{batch=4}" in lines[outs[3] - 1]

    reduced = save(path.with_suffix(".r.nir"), nodalis.compile(g, outs).store)
    stage_lines = [line for line in nodalis_cmd("inspect", reduced).stdout.splitlines()
                   if " stage " in line]
    # The tanh(x * y) stage: the product of the stage's two inputs, then tanh of it.
    assert any("m0=mul(%0, %1) {}; m1=tanh(m0) {}" in line for line in stage_lines), stage_lines


def test_inspect_json_is_the_node_view(blob):
    path, *_ = blob
    proc = nodalis_cmd("inspect", "--json", path)
    view = GraphStore.deserialize(path.read_bytes()).nodes()
    assert json.loads(proc.stdout) == json.loads(json.dumps(view))


def test_inspect_json_is_strict_for_non_finite_params(tmp_path):
    g = GraphStore()
    g.add_op("fill_nan", [g.add_source("x")], {"value": float("nan"), "hi": float("inf"),
                                               "lo": -float("inf")})
    proc = nodalis_cmd("inspect", "--json", save(tmp_path / "n.nir", g))

    def refuse(token):
        raise AssertionError(f"non-JSON constant {token}")
    params = json.loads(proc.stdout, parse_constant=refuse)[1]["params"]
    assert params == {"hi": "Infinity", "lo": "-Infinity", "value": "NaN"}


@pytest.mark.parametrize("options", [[], ["--maximal-fusion"], ["--incremental"],
                                     ["--incremental", "--maximal-fusion"]])
@pytest.mark.parametrize("seed", [1, 2])
def test_reduce_writes_what_computes_the_request(tmp_path, options, seed):
    g = random_store(GraphStore(), seed, 150)
    n = g.node_count()
    requested = [n - 1, 7, n - 1, n // 2]
    path = save(tmp_path / "g.nir", g)
    out = tmp_path / "g.reduced.nir"
    proc = nodalis_cmd("reduce", path, "-o", out, "--outputs", ",".join(map(str, requested)),
                       "--json", *options)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    written = GraphStore.deserialize(out.read_bytes())
    assert result["outputs"] == requested
    assert values(written, result["reduced_outputs"]) == pytest.approx(values(g, requested))
    # The same reduction in-process gives the same blob and plan.
    fusion = "--maximal-fusion" in options
    if "--incremental" in options:
        reducer = IncrementalReducer()
        reducer.step(g)
        plan = nodalis.compile_incremental(reducer, g, requested, maximal_fusion=fusion)
    else:
        plan = nodalis.compile(g, requested, maximal_fusion=fusion)
    assert out.read_bytes() == plan.store.serialize()
    assert result["report"] == plan.report and result["reduced_outputs"] == list(plan.outputs)


def test_reduce_text_report_and_marks(blob, tmp_path):
    path, g, outs = blob
    proc = nodalis_cmd("reduce", path)  # the blob's marks, no file written
    assert proc.returncode == 0 and proc.stderr == ""
    plan = nodalis.compile(GraphStore.deserialize(path.read_bytes()))
    marks = GraphStore.deserialize(path.read_bytes()).outputs()
    lines = proc.stdout.splitlines()
    assert lines[0].startswith(f"{path}: {plan.report['input_nodes']} nodes reduced to "
                               f"{plan.report['reduced_nodes']}")
    assert lines[-1] == "outputs: " + ", ".join(f"{a} -> {b}" for a, b in zip(marks, plan.outputs))

    # The repeated request is kept in order: a and a2 are one node, b another.
    a, b, a2, _ = outs
    twice = nodalis_cmd("reduce", path, "--outputs", f"{a},{b},{a2}", "-o", tmp_path / "t.nir")
    pairs = [p.split(" -> ") for p in twice.stdout.splitlines()[-1][len("outputs: "):].split(", ")]
    assert [int(p[0]) for p in pairs] == [a, b, a2]
    assert pairs[0][1] == pairs[2][1] != pairs[1][1]

    hand_built = save(tmp_path / "unmarked.nir", g)
    empty = nodalis_cmd("reduce", hand_built)
    assert empty.returncode == 0 and "marks no outputs" in empty.stderr
    assert nodalis_cmd("reduce", "-q", hand_built).stderr == ""


def test_diff_ignores_ids_and_names_what_differs(tmp_path):
    g, outs = pipeline()
    # The same graph built in another order: every id moves.
    h = GraphStore()
    y, x = h.add_source("y"), h.add_source("x", {"rows": 10})
    b = h.add_op("exp", [h.add_op("add", [x, y])])
    a = h.add_op("tanh", [h.add_op("mul", [x, y])])
    a2 = h.add_op("tanh", [h.add_op("mul", [y, h.add_op("add", [x], {"scalar": 0.0, "side": "r"})])])
    ext = h.add_external({"kind": "onnx", "content_hash": "h1", "framework": "torch",
                          "version": "2", "io_schema": "f32"}, [a, b], {"batch": 4})
    total = h.add_reduction("sum", [ext], {"axis": 0})
    assert h.serialize([a, b, a2, total]) != g.serialize(outs)
    pa = save(tmp_path / "a.nir", g, outs)
    same = nodalis_cmd("diff", pa, save(tmp_path / "b.nir", h, [a, b, a2, total]))
    assert (same.returncode, same.stdout, same.stderr) == (0, "", "")

    # One parameter changed: that node and everything built on it differ.
    h2 = GraphStore()
    x2, y2 = h2.add_source("x", {"rows": 11}), h2.add_source("y")
    h2.add_op("tanh", [h2.add_op("mul", [x2, y2])])
    changed = nodalis_cmd("diff", save(tmp_path / "c.nir", h2, [3]), pa)
    assert changed.returncode == 1
    text = changed.stdout
    lines = text.splitlines()
    assert lines[0] == f"only in {tmp_path / 'c.nir'} (3):"
    assert [line.split()[:3] for line in lines[1:4]] == [["%0", "source", "x"], ["%2", "op", "mul"],
                                                          ["%3", "op", "tanh"]]
    assert "{rows=11}" in text and "{rows=10}" in text
    # Swapped outputs are an output change only.
    swapped = nodalis_cmd("diff", pa, save(tmp_path / "s.nir", g, [outs[1], outs[0], outs[3]]))
    assert swapped.returncode == 1 and swapped.stdout.startswith("outputs differ")
    assert "output 0: " in swapped.stdout and "output 3: only in" in swapped.stdout
    one_line_error(nodalis_cmd("diff", pa, tmp_path / "missing.nir"), 2, "missing.nir")


def test_diff_tells_value_types_apart(tmp_path):
    stores = []
    for value in (1, 1.0, True):
        s = GraphStore()
        s.add_op("clip", [s.add_source("x")], {"hi": value})
        stores.append(save(tmp_path / f"{value!r}.nir", s, [1]))
    for other in stores[1:]:
        assert nodalis_cmd("diff", stores[0], other).returncode == 1


def test_verify(blob, tmp_path):
    path, g, outs = blob
    ok = nodalis_cmd("verify", path)
    assert ok.returncode == 0 and ok.stdout.startswith(f"{path}: ok: {g.node_count()} nodes")

    data = path.read_bytes()
    bad = tmp_path / "cut.nir"
    bad.write_bytes(data[:-3])
    cut = nodalis_cmd("verify", bad)
    assert cut.returncode == 1 and cut.stdout == f"{bad}: invalid: truncated nodalis IR blob\n"

    # A repeated output decodes (marks are kept once) but encodes back shorter.
    repeated = tmp_path / "repeated.nir"
    repeated.write_bytes(g.serialize([outs[0], outs[1], outs[0]]))
    again = GraphStore.deserialize(repeated.read_bytes()).serialize()
    offset = next(i for i, (p, q) in enumerate(zip(repeated.read_bytes(), again)) if p != q)
    proc = nodalis_cmd("verify", repeated)
    assert proc.returncode == 1
    assert f"not canonical: re-encoding differs from byte {offset} on" in proc.stdout
    one_line_error(nodalis_cmd("verify", tmp_path / "none.nir"), 2, "No such file")


@pytest.mark.parametrize("left, right", [(b"abc", b"abd"), (b"abc", b"ab"), (b"", b"x"),
                                          (bytes(1000) + b"x", bytes(1001))])
def test_first_difference(left, right):
    from nodalis.cli.verify import first_difference
    expected = next((i for i, (p, q) in enumerate(zip(left, right)) if p != q),
                    min(len(left), len(right)))
    assert first_difference(left, right) == first_difference(right, left) == expected


@needs_dot
@pytest.mark.parametrize("fmt, magic", [("svg", b"<?xml"), ("png", b"\x89PNG"), ("pdf", b"%PDF")])
def test_render_draws_with_graphviz(blob, tmp_path, fmt, magic):
    path, g, _ = blob
    out = tmp_path / f"p.{fmt}"
    proc = nodalis_cmd("render", path, "-o", out)
    assert proc.returncode == 0, proc.stderr
    assert out.read_bytes().startswith(magic)
    if fmt == "svg":
        drawn = ET.parse(out).getroot().findall(".//{http://www.w3.org/2000/svg}g[@class='node']")
        assert len(drawn) == g.node_count()


@needs_dot
def test_graphviz_parses_the_dot_render_writes(tmp_path):
    # Every node kind and parameter type, including texts that need quoting.
    g = random_store(GraphStore(), 4, 300)
    g.add_source('quote " back\\slash { } < >', {"s": 'x"y', "f": float("inf")})
    path = save(tmp_path / "r.nir", g, [g.node_count() - 1, 5])
    out = tmp_path / "r.dot"
    assert nodalis_cmd("render", path, "-o", out).returncode == 0
    assert out.read_text() == GraphStore.deserialize(path.read_bytes()).to_dot()
    canon = subprocess.run([DOT, "-Tcanon", str(out)], capture_output=True, text=True, timeout=120)
    assert canon.returncode == 0 and canon.stderr == "", canon.stderr


def test_render_without_graphviz_says_how_to_install(blob, tmp_path):
    path, *_ = blob
    env = dict(os.environ, PATH=str(tmp_path))  # no dot there
    proc = nodalis_cmd("render", path, "-o", tmp_path / "p.svg", env=env)
    one_line_error(proc, 2, "install Graphviz", "apt-get install graphviz")
    assert not (tmp_path / "p.svg").exists()
    # DOT text needs no Graphviz.
    assert nodalis_cmd("render", path, "-o", tmp_path / "p.dot", env=env).returncode == 0


def test_render_refuses_large_graphs_unless_forced(tmp_path, monkeypatch):
    big = random_store(GraphStore(), 3, _display.MAX_DRAWN_NODES + 10)
    path = save(tmp_path / "big.nir", big)
    one_line_error(nodalis_cmd("render", path, "-o", tmp_path / "big.svg"), 2, "--force")
    assert nodalis_cmd("render", path, "-o", tmp_path / "big.dot").returncode == 0
    # --force hands it to Graphviz (stood in for here: a layout that size takes minutes).
    drawn = []
    monkeypatch.setattr(_display, "run_dot", lambda text, fmt, **k: drawn.append(fmt) or b"<svg/>")
    assert main(["render", str(path), "-o", str(tmp_path / "big.svg"), "--force", "-q"]) == 0
    assert drawn == ["svg"] and (tmp_path / "big.svg").read_bytes() == b"<svg/>"


@pytest.mark.parametrize("argv, fragment", [
    (["inspect", "missing.nir"], "missing.nir: No such file or directory"),
    (["reduce", "{blob}", "--outputs", "99"], "has 11 nodes: no node with id 99"),
    (["render", "{blob}", "-o", "out.gif"], "cannot tell the format"),
    (["inspect", "{garbage}"], "not a valid nodalis IR blob: "),
])
def test_errors_are_one_line_and_debug_shows_the_traceback(blob, tmp_path, argv, fragment):
    path, *_ = blob
    garbage = tmp_path / "garbage.nir"
    garbage.write_bytes(b"not a blob at all")
    argv = [a.format(blob=path, garbage=garbage) for a in argv]
    one_line_error(nodalis_cmd(*argv), 2, f"nodalis {argv[0]}: error: ", fragment)
    debug = nodalis_cmd("--debug", *argv)
    assert debug.returncode == 2 and "Traceback" in debug.stderr
    assert debug.stderr.strip().splitlines()[-1] == nodalis_cmd(*argv).stderr.strip()


@pytest.mark.parametrize("argv, fragment", [
    (["reduce", "{blob}", "--outputs", "1,x"], "expected node ids separated by commas"),
    (["reduce", "{blob}", "--outputs", "-1"], "node ids are not negative"),
    (["frobnicate"], "invalid choice"),
    (["render", "{blob}"], "the following arguments are required: -o/--output"),
])
def test_usage_errors(blob, argv, fragment):
    path, *_ = blob
    proc = nodalis_cmd(*[a.format(blob=path) for a in argv])
    assert proc.returncode == 2 and "Traceback" not in proc.stderr
    assert proc.stderr.startswith("usage: nodalis") and fragment in proc.stderr


def test_version_help_and_the_console_script(blob):
    assert nodalis_cmd("--version").stdout.strip() == f"nodalis {nodalis_core.version()}"
    for sub in ("inspect", "render", "reduce", "diff", "verify"):
        proc = nodalis_cmd(sub, "--help")
        assert proc.returncode == 0 and "--quiet" in proc.stdout and "--debug" in proc.stdout
    script = Path(sys.executable).parent / "nodalis"
    if not script.exists():
        pytest.skip("the console script is installed elsewhere")
    path, g, _ = blob
    proc = subprocess.run([str(script), "verify", str(path)], capture_output=True, text=True)
    assert proc.returncode == 0 and ": ok:" in proc.stdout


def test_the_interpreter_and_its_data_libraries_load_only_for_run(blob):
    # Reducing, checking and drawing blobs should not wait a second for
    # pandas; nodalis.run must still be there when asked for.
    path, *_ = blob
    probe = (
        "import sys, runpy\n"
        "sys.argv = ['nodalis', 'reduce', sys.argv[1], '-o', sys.argv[2]]\n"
        "try:\n"
        "    runpy.run_module('nodalis', run_name='__main__')\n"
        "except SystemExit as e:\n"
        "    assert e.code == 0, e.code\n"
        "import nodalis\n"
        "listed = 'run' in dir(nodalis)\n"
        "heavy = sorted({'numpy', 'pandas', 'nodalis.runner'} & set(sys.modules))\n"
        "print(heavy, listed, nodalis.run.__module__)\n")
    proc = subprocess.run([sys.executable, "-c", probe, str(path), str(path.with_suffix(".out.nir"))],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[-2] == "[] True nodalis.runner"


def test_reading_from_stdin(blob):
    path, g, _ = blob
    proc = nodalis_cmd("verify", "-", stdin=path.read_bytes())
    assert proc.returncode == 0 and b"-: ok:" in proc.stdout


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("tty, quiet, shown", [(True, False, True), (True, True, False),
                                               (False, False, False)])
def test_progress_only_on_a_terminal(blob, tmp_path, monkeypatch, capsys, tty, quiet, shown):
    pytest.importorskip("tqdm")
    path, *_ = blob
    monkeypatch.setattr(common, "PROGRESS_MIN_BYTES", 0)
    err = Terminal() if tty else io.StringIO()
    monkeypatch.setattr(sys, "stderr", err)
    argv = ["reduce", str(path), "-o", str(tmp_path / "r.nir")] + (["--quiet"] if quiet else [])
    assert main(argv) == 0
    assert ("reducing" in err.getvalue()) == shown
    assert "reducing" not in capsys.readouterr().out


def rebuilt(store, seed, change=None):
    """The store's nodes added again in another topological order (ids move);
    `change` maps a node id to extra params for it. Returns the copy and the
    new id of every old one."""
    import random
    rng = random.Random(seed)
    nodes = store.nodes()
    users = {n["id"]: [] for n in nodes}
    waiting = {n["id"]: len(set(n["inputs"])) for n in nodes}
    for n in nodes:
        for i in set(n["inputs"]):
            users[i].append(n["id"])
    ready = [i for i, w in waiting.items() if w == 0]
    copy, new_id = GraphStore(), {}
    while ready:
        i = ready.pop(rng.randrange(len(ready)))
        n = nodes[i]
        params = {**n["params"], **(change or {}).get(i, {})}
        inputs = [new_id[j] for j in n["inputs"]]
        if n["kind"] == "source":
            new_id[i] = copy.add_source(n["name"], params)
        elif n["kind"] == "external":
            new_id[i] = copy.add_external(n["descriptor"], inputs, params)
        elif n["kind"] == "exchange":
            new_id[i] = copy.add_exchange(inputs, params)
        else:
            add = copy.add_op if n["kind"] == "op" else copy.add_reduction
            new_id[i] = add(n["name"], inputs, params)
        for u in users[i]:
            waiting[u] -= 1
            if waiting[u] == 0:
                ready.append(u)
    return copy, new_id


@pytest.mark.parametrize("seed", range(4))
def test_diff_finds_exactly_a_change_and_what_depends_on_it(tmp_path, capsys, seed):
    g = random_store(GraphStore(), seed, 120)
    outs = [g.node_count() - 1, 30, 60]
    a = save(tmp_path / "a.nir", g, outs)
    same, new_id = rebuilt(g, seed)
    assert [new_id[i] for i in range(g.node_count())] != list(range(g.node_count()))
    assert main(["diff", str(a), str(save(tmp_path / "b.nir", same, [new_id[o] for o in outs]))]) == 0
    assert capsys.readouterr().out == ""

    changed_node = 40
    other, new_id = rebuilt(g, seed, change={changed_node: {"changed": True}})
    c = save(tmp_path / "c.nir", other, [new_id[o] for o in outs])
    assert main(["diff", str(a), str(c)]) == 1
    out = capsys.readouterr().out
    # The changed node and everything downstream of it, and nothing else.
    downstream = {changed_node}
    for n in g.nodes():
        if downstream & set(n["inputs"]):
            downstream.add(n["id"])
    listed = out.split(f"only in {c}")[0].splitlines()[1:]
    assert sorted(int(line.split()[0][1:]) for line in listed) == sorted(downstream)
    assert ("outputs differ" in out) == any(o in downstream for o in outs)
