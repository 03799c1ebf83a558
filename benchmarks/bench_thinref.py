"""ThinRef against the interpreter's weakref.proxy, measured in one run.

Prints, for each operation, the best time per call of both and their ratio
(ThinRef / weakref.proxy), and the floor: ``len(())`` of an empty tuple.
weakref.proxy cannot be hashed, so the peer for ``hash`` is ``hash(ref())``
through a plain weak reference; ``copy.copy`` of a proxy has no peer and is
reported against the floor.

    PYTHONPATH=src python benchmarks/bench_thinref.py [--number N]
"""

import argparse
import copy
import timeit
import weakref

from ruvo.core.thinref import ThinRef


class Obj:
    def __init__(self):
        self.attr = 1


class Num(float):
    pass


class Seq(list):
    pass


def best(stmt, env, number, repeat):
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def best_pair(ours, peer, env, number, repeat):
    """Best times of two statements, measured alternately so that a change
    of machine load affects both alike."""
    timers = [timeit.Timer(ours, globals=env), timeit.Timer(peer, globals=env)]
    times = [[], []]
    for _ in range(repeat):
        for timer, bucket in zip(timers, times):
            bucket.append(timer.timeit(number))
    return min(times[0]) / number, min(times[1]) / number


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()

    obj, num, seq = Obj(), Num(2.5), Seq([1, 2, 3, 4, 5])
    fresh = Obj()  # creation: no other weak reference to it exists
    env = {
        "ThinRef": ThinRef,
        "proxy": weakref.proxy,
        "copy": copy,
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
        ("attribute read", "t_obj.attr", "w_obj.attr"),
        ("method call", "t_seq.count(3)", "w_seq.count(3)"),
        ("==", "t_obj == obj", "w_obj == obj"),
        ("hash", "hash(t_obj)", "hash(r_obj())"),
        ("+", "t_num + 1.0", "w_num + 1.0"),
        ("len", "len(t_seq)", "len(w_seq)"),
        ("p[k]", "t_seq[2]", "w_seq[2]"),
        ("iteration", "iter(t_seq)", "iter(w_seq)"),
        ("creation", "ThinRef(fresh)", "proxy(fresh)"),
    ]
    floor = best("len(())", env, args.number, args.repeat)
    print(f"{'operation':<16}{'ThinRef':>12}{'peer':>12}{'ratio':>8}")
    print(f"{'floor len(())':<16}{floor * 1e9:>10.1f}ns")
    for name, ours, peer in cases:
        a, b = best_pair(ours, peer, env, args.number, args.repeat)
        print(f"{name:<16}{a * 1e9:>10.1f}ns{b * 1e9:>10.1f}ns{a / b:>8.2f}")
    c = best("copy.copy(t_obj)", env, args.number // 10, args.repeat)
    print(f"{'copy.copy':<16}{c * 1e9:>10.1f}ns{'':>12}{c / floor:>7.1f}x floor")


if __name__ == "__main__":
    main()
