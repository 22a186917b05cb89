// Every docstring of the module. Each starts with its text signature, which
// is both what the interpreter shows and where the binder reads the callable's
// parameters (signature_of): a parameter list is written here and nowhere else.
#pragma once

namespace nodalis::py::doc {

inline constexpr char version[] = "version()\n--\n\n";

namespace graph_store {

inline constexpr char kClass[] =
    "GraphStore()\n--\n\n"
    "Thread-safe interned graph store (frozen pyclass: interior mutability via a "
    "Mutex, safe to\nshare across threads under the GIL and free-threaded "
    "3.14t).";
inline constexpr char add_source[] = "add_source($self, name, params=None)\n--\n\n";
inline constexpr char add_op[] = "add_op($self, name, inputs, params=None)\n--\n\n";
inline constexpr char add_reduction[] = "add_reduction($self, name, inputs, params=None)\n--\n\n";
inline constexpr char add_external[] =
    "add_external($self, descriptor, inputs, params=None)\n--\n\n";
inline constexpr char add_exchange[] =
    "add_exchange($self, inputs, params=None)\n--\n\n"
    "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an "
    "Exchange's identity is its\n`scheme` ParamMap (`params`) + its one logical "
    "input; `nodes()[i][\"kind\"] == \"exchange\"`.";
inline constexpr char node_count[] = "node_count($self)\n--\n\n";
inline constexpr char to_dot[] = "to_dot($self)\n--\n\n";
inline constexpr char serialize[] =
    "serialize($self, outputs=None)\n--\n\n"
    "Serialize the IR to the canonical, versioned, byte-identical durable form "
    "(plan M8 / A.3.1:\nthe serializable IR — not cloudpickle — is the "
    "canonical durable representation). With\n`outputs=` the bytes flag EXACTLY "
    "that set, ignoring stored marks (M22: outputs are a\nproperty of the compile "
    "request); the default keeps the marks-based behavior.";
inline constexpr char deserialize[] =
    "deserialize(data)\n--\n\n"
    "Rebuild a store from canonical bytes. A round trip reproduces the same node "
    "ids, so\n`serialize` of the result is byte-identical to the input (plan M8 "
    "determinism gate).";
inline constexpr char nodes[] =
    "nodes($self)\n--\n\n"
    "Structured, read-only view of every node in id order (plan M9: `inspect` "
    "renders the IR and\n`reproduce` interprets it). Each entry is a dict with "
    "`id`, `kind`\n(source|op|reduction|external|stage), `name`, `params`, "
    "`inputs`, `output` (bool), plus a\n`descriptor` dict for external nodes and "
    "`n_members` for stage nodes.";
inline constexpr char outputs[] =
    "outputs($self)\n--\n\n"
    "The marked output node ids, in mark order (what an IR evaluator returns, in "
    "order).";
inline constexpr char reduce[] =
    "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion "
    "behind\nRewriteEngine). Returns the reduced store and a report dict. "
    "`maximal_fusion=True` opts in\nto fusing fan-out ops whose consumers all "
    "land in one stage (the default single-use rule is\npinned by the frozen M4 "
    "suite).";
inline constexpr char reduce_incremental[] =
    "reduce_incremental($self, *, outputs=None)\n--\n\n"
    "One-shot incremental reduction of the current graph (same result as "
    "`reduce`). For genuine\nstep-by-step reduction while building, use "
    "`IncrementalReducer`.";
inline constexpr char reduction_report[] =
    "reduction_report($self, *, outputs=None)\n--\n\n"
    "The reduction report for the current graph, without keeping the reduced "
    "store.";
inline constexpr char reduce_plan[] =
    "reduce_plan($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Reduce exactly like `reduce`, and also say where each requested output "
    "ended up. Returns\n(reduced store, report dict, output ids): the id in the "
    "reduced store of each requested\noutput (or marked output, without "
    "`outputs=`), in request order with repeats kept. The\nreduced store's own "
    "marks cannot tell this: equal outputs share one mark.";
inline constexpr char reduce_for_pickle[] =
    "__reduce__($self)\n--\n\n"
    "Pickle and copy through the blob: the copy has the same node ids and marks.";
inline constexpr char repr_mimebundle[] =
    "_repr_mimebundle_($self, include=None, exclude=None)\n--\n\n"
    "The notebook display: an SVG drawing when Graphviz's `dot` is installed and the graph is\n"
    "small enough to draw, and a text summary always.";

}  // namespace graph_store

namespace payload_descriptor {

inline constexpr char kClass[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
    "preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the "
    "structural hash).";
inline constexpr char reduce_for_pickle[] =
    "__reduce__($self)\n--\n\n"
    "Pickle and copy through the six fields.";

}  // namespace payload_descriptor

namespace incremental_reducer {

inline constexpr char kClass[] =
    "IncrementalReducer()\n--\n\n"
    "Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being "
    "built; each\n`step` canonicalizes ONLY the nodes recorded since the last step "
    "(identity elimination,\ncommutativity dedup, hash-consing — the same sound rules the "
    "SaturationEngine runs), so a concise\ncanonical form is maintained while building and "
    "`finalize` does one linear pass instead of a\nwhole-history optimization. "
    "`total_work()` counts nodes processed across all steps — it equals\nthe node count of "
    "the store, no matter how many steps fed it (the incrementality witness).";
inline constexpr char step[] =
    "step($self, store)\n--\n\n"
    "Consume the nodes recorded in `store` since the last step. Returns how many "
    "were processed\n(the delta size). The reducer must always be fed the same "
    "store.";
inline constexpr char watermark[] =
    "watermark($self)\n--\n\n"
    "How many of the store's nodes have been consumed so far.";
inline constexpr char total_work[] =
    "total_work($self)\n--\n\n"
    "Cumulative nodes processed across all steps (== watermark: each node touched "
    "once).";
inline constexpr char canonical_count[] =
    "canonical_count($self)\n--\n\n"
    "Size of the maintained canonical form.";
inline constexpr char finalize[] =
    "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Finish: consume any remaining delta, then reduce the maintained canonical "
    "form against the\nstore's marked outputs — or, with `outputs=`, against "
    "EXACTLY that set (M22: stored marks\nignored). Returns the reduced store + "
    "report, exactly like `GraphStore.reduce`.";
inline constexpr char finalize_plan[] =
    "finalize_plan($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Finish exactly like `finalize`, and also say where each requested output "
    "ended up. Returns\n(reduced store, report dict, output ids), like "
    "`GraphStore.reduce_plan`.";

}  // namespace incremental_reducer

}  // namespace nodalis::py::doc
