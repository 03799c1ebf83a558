"""Every benchmark of the native core in one run: each figure is a ratio
against its peer measured in the same rounds (the Tornado template,
weakref.proxy, plain-Python peers, or the floor: a call of len on a short
tuple) and a multiple of that floor, followed by the demo page's rendering
time per element. The run ends with the same figures as the Markdown table
of the README's performance section, dated and naming the machine.

    .venv/bin/python benchmarks/run_all.py [--quick]
"""

import datetime
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_attributes  # noqa: E402
import bench_html  # noqa: E402
import bench_thinref  # noqa: E402
from _timing import MARKDOWN_HEADER, header, machine  # noqa: E402


def demo_figures(quick):
    from ruvo import demo

    root = demo.build_page()
    count = sum(1 for _ in root.walk())
    root.render()
    number = 20 if quick else 100
    best = min(timeit.repeat(root.render, number=number, repeat=3 if quick else 7)) / number
    return count, best


def main():
    quick = "--quick" in sys.argv
    print(header())
    missed = 0
    table = []
    for title, module in (("ruvo.uix._html", bench_html), ("ruvo.core.thinref", bench_thinref),
                          ("ruvo.core._attributes", bench_attributes)):
        print(f"-- {title}")
        table.append(f"| **{title}** | | | | | | | |")
        for figure in module.measure(quick):
            print(figure.row())
            table.append(figure.markdown())
            missed += figure.verdict == "MISSED"
    count, seconds = demo_figures(quick)
    demo = (f"demo page: {count} elements rendered in {seconds * 1e6:.1f} us, "
            f"{seconds * 1e6 / count:.2f} us per element")
    print(f"-- {demo}")
    verdict = f"{missed} target(s) missed" if missed else "every target met"
    print(verdict)
    print()
    print(f"Measured on {datetime.date.today().isoformat()}, {machine()}"
          f"{' (--quick)' if quick else ''}; {verdict}.")
    print()
    print(MARKDOWN_HEADER)
    print("\n".join(table))
    print()
    print(f"The {demo}.")


if __name__ == "__main__":
    main()
