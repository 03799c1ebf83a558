"""ThinRef against the interpreter's weakref.proxy, measured in one run.

Prints, for each operation, the best time per call of both and their ratio
(ThinRef / weakref.proxy), and each time as a multiple of the floor, a call
of ``len`` on a short tuple.
weakref.proxy cannot be hashed, so the peer for ``hash`` is ``hash(ref())``
through a plain weak reference; ``copy.copy`` of a proxy has no peer and is
reported against the floor.

    .venv/bin/python benchmarks/bench_thinref.py [--quick]
"""

import copy
import os
import sys
import weakref

from ruvo.core.thinref import ThinRef

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import FLOOR, FLOOR_NAME, Figure, best_times, print_figures  # noqa: E402


class Obj:
    def __init__(self):
        self.attr = 1


class Num(float):
    pass


class Seq(list):
    pass


def measure(quick=False):
    """ThinRef's figures, each against weakref.proxy measured in the same run."""
    obj, num, seq = Obj(), Num(2.5), Seq([1, 2, 3, 4, 5])
    fresh = Obj()  # creation: no other weak reference to it exists
    env = {
        "ThinRef": ThinRef,
        "proxy": weakref.proxy,
        "copy": copy,
        "short": (1, 2),
        "obj": obj,
        "fresh": fresh,
        "t_obj": ThinRef(obj),
        "w_obj": weakref.proxy(obj),
        "r_obj": weakref.ref(obj),
        "t_num": ThinRef(num),
        "w_num": weakref.proxy(num),
        "t_seq": ThinRef(seq),
        "w_seq": weakref.proxy(seq),
    }
    cases = [
        ("attribute read", "t_obj.attr", "w_obj.attr", 1.1),
        ("attribute write", "t_obj.attr = 1", "w_obj.attr = 1", 1.1),
        ("method call", "t_seq.count(3)", "w_seq.count(3)", 1.1),
        ("==", "t_obj == obj", "w_obj == obj", 1.1),
        ("hash", "hash(t_obj)", "hash(r_obj())", 1.1),
        ("+", "t_num + 1.0", "w_num + 1.0", 1.1),
        ("bool", "not t_num", "not w_num", 1.1),
        ("str", "str(t_num)", "str(w_num)", 1.1),
        ("len", "len(t_seq)", "len(w_seq)", 1.1),
        ("p[k]", "t_seq[2]", "w_seq[2]", 1.1),
        ("in", "3 in t_seq", "3 in w_seq", 1.1),
        ("iteration", "for _ in t_seq: pass", "for _ in w_seq: pass", 1.1),
        ("creation", "ThinRef(fresh)", "proxy(fresh)", 1.5),
    ]
    statements = {"floor": FLOOR, "copy": "copy.copy(t_obj)"}
    for name, ours, peer, _ in cases:
        statements["ours " + name] = ours
        statements["peer " + name] = peer
    ns = best_times(statements, env, quick)
    figures = []
    for name, _, peer, bound in cases:
        peer_name = "hash(weakref.ref())" if name == "hash" else "weakref.proxy"
        figures.append(Figure(f"ThinRef {name}", ns["ours " + name], peer_name, ns["peer " + name], "within",
                              bound, ns["floor"]))
    figures.append(Figure("ThinRef copy.copy", ns["copy"], FLOOR_NAME, ns["floor"], "within", 0, ns["floor"]))
    return figures


if __name__ == "__main__":
    print_figures(measure("--quick" in sys.argv))
