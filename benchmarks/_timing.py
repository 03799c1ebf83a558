"""Timing helpers shared by the benchmark scripts.

Statements are timed in rounds over all cases of a script, each case keeping
its best time, so that a change of machine load during the run affects every
case alike. Every figure is a ratio against a peer measured in the same run.
"""

import timeit
from dataclasses import dataclass

FLOOR = "len(short)"  # a built-in call that does nothing: len of a short tuple


@dataclass
class Figure:
    label: str       # what is measured
    ns: float        # our time per call
    peer: str        # what it is compared with
    peer_ns: float   # the peer's time per call
    kind: str        # "faster": peer/ours must reach bound; "within": ours/peer must stay below bound
    bound: float     # the target, or 0 for a figure without one

    @property
    def ratio(self):
        return self.peer_ns / self.ns if self.kind == "faster" else self.ns / self.peer_ns

    @property
    def verdict(self):
        if not self.bound:
            return ""
        ok = self.ratio >= self.bound if self.kind == "faster" else self.ratio <= self.bound
        return "ok" if ok else "MISSED"

    def row(self):
        unit = "x faster" if self.kind == "faster" else "x peer"
        target = (">= " if self.kind == "faster" else "<= ") + f"{self.bound:g}" if self.bound else ""
        return (f"{self.label:38s} {self.ns:9.1f} ns  {self.peer:30s} {self.peer_ns:9.1f} ns  "
                f"{self.ratio:6.2f} {unit:8s}  {target:7s} {self.verdict}")


def header():
    return (f"{'figure':38s} {'ours':>12s}  {'peer':30s} {'peer time':>12s}  {'ratio':>15s}  target")


def best_times(statements, namespace, quick=False):
    """Best time per call in ns of each statement (a dict name -> statement)."""
    repeat = 3 if quick else 11
    target = 0.01 if quick else 0.04
    timers = {name: timeit.Timer(stmt, globals=namespace) for name, stmt in statements.items()}
    numbers = {}
    for name, timer in timers.items():
        number = 1
        while timer.timeit(number) < target:
            number *= 4
        numbers[name] = number
    best = {name: float("inf") for name in timers}
    for _ in range(repeat):
        for name, timer in timers.items():
            best[name] = min(best[name], timer.timeit(numbers[name]) / numbers[name] * 1e9)
    return best
