"""Timing helpers shared by the benchmark scripts.

Statements are timed in rounds over all cases of a script, each case keeping
its best round, so that a change of machine load during the run affects every
case alike. Every figure is a ratio against a peer measured in the same run,
and is also given as a multiple of the floor: a call of a built-in that does
nothing, timed in the same rounds.
"""

import os
import platform
import timeit
from dataclasses import dataclass

FLOOR = "len(short)"  # a built-in call that does nothing: len of a short tuple
FLOOR_NAME = "floor len(short tuple)"


@dataclass
class Figure:
    label: str       # what is measured
    ns: float        # our time per call
    peer: str        # what it is compared with
    peer_ns: float   # the peer's time per call
    kind: str        # "faster": peer/ours must reach bound; "within": ours/peer must stay below bound
    bound: float     # the target, or 0 for a figure without one
    floor_ns: float  # the floor measured in the same rounds

    @property
    def ratio(self):
        return self.peer_ns / self.ns if self.kind == "faster" else self.ns / self.peer_ns

    @property
    def floors(self):
        return self.ns / self.floor_ns

    @property
    def verdict(self):
        if not self.bound:
            return ""
        ok = self.ratio >= self.bound if self.kind == "faster" else self.ratio <= self.bound
        return "ok" if ok else "MISSED"

    @property
    def target(self):
        return ((">= " if self.kind == "faster" else "<= ") + f"{self.bound:g}") if self.bound else ""

    @property
    def unit(self):
        return "x faster" if self.kind == "faster" else "x the peer"

    def row(self):
        return (f"{self.label:44s} {self.ns:8.1f} ns {self.floors:6.2f}x  {self.peer:26s} {self.peer_ns:8.1f} ns  "
                f"{self.ratio:6.2f} {self.unit:10s}  {self.target:7s} {self.verdict}")

    def markdown(self):
        ratio = f"{self.ratio:.2f}{self.unit}"
        return (f"| {self.label} | {self.ns:.0f} ns | {self.floors:.2f}x | {self.peer} | {self.peer_ns:.0f} ns | "
                f"{ratio} | {self.target} | {self.verdict} |")


def header():
    return (f"{'figure':44s} {'ours':>11s} {'floors':>7s}  {'peer':26s} {'peer time':>11s}  {'ratio':>17s}  target")


MARKDOWN_HEADER = ("| figure | ours | x floor | peer | peer time | ratio | target | met |\n"
                   "|---|---|---|---|---|---|---|---|")


def machine():
    """One line naming this machine, for the tables."""
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        model = ""
    return (f"{model or platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
            f"{platform.python_implementation()} {platform.python_version()}, {platform.system()}")


def best_times(statements, namespace, quick=False):
    """Best time per call in ns of each statement (a dict name -> statement),
    timed in interleaved rounds: every round runs each statement in turn."""
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


def print_figures(figures):
    print(header())
    for figure in figures:
        print(figure.row())
