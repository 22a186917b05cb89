# Several Python threads building into one shared store: every distinct node
# gets exactly one id, ids stay dense, and each thread sees stable ids.
import sys
import threading

from nodalis_core import GraphStore

THREADS = 8
PER_THREAD = 3000
SHARED = 500


def test_threads_share_one_store_without_lost_or_duplicated_ids():
    store = GraphStore()
    root = store.add_source("root")
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS

    def work(t):
        barrier.wait()
        got = {}
        for i in range(PER_THREAD):
            # Half of the keys are shared by every thread, half are the thread's own.
            key = ("shared", (i // 2) % SHARED) if i % 2 == 0 else ("own", t, i)
            name = "op_%s" % "_".join(map(str, key))
            got[key] = store.add_op(name, [root], {"i": key[-1], "t": key[0]})
        results[t] = got

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(interval)

    merged = {}
    for got in results:
        for key, node_id in got.items():
            assert merged.setdefault(key, node_id) == node_id  # one id per shared key
    distinct_ids = set(merged.values())
    assert len(distinct_ids) == len(merged)  # no two keys share an id
    own = THREADS * (PER_THREAD // 2)
    assert len(merged) == SHARED + own
    assert store.node_count() == 1 + len(merged)
    assert distinct_ids == set(range(1, store.node_count()))  # dense, nothing lost

    view = store.nodes()
    for key, node_id in merged.items():
        assert view[node_id]["name"] == "op_%s" % "_".join(map(str, key))
