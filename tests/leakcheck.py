"""Reference-leak detection: run an operation many times and fail when the
memory traced by tracemalloc keeps growing."""

import gc
import tracemalloc

__all__ = ["assert_no_leak"]


def _run(fn, n, raises):
    for _ in range(n):
        if raises is None:
            fn()
        else:
            try:
                fn()
            except raises:
                pass
            else:
                raise AssertionError(f"{fn!r} did not raise {raises!r}")


def assert_no_leak(fn, raises=None, *, batch=2000, rounds=3, per_call=2.0):
    """Call ``fn`` (which must raise ``raises`` when given) in batches and
    fail when every batch leaves more traced memory than the one before it,
    by more than ``per_call`` bytes a call on average.

    A leaked object costs at least 16 bytes, so a leak of one object per
    call exceeds the allowance several times over, while the interpreter's
    own caches settle after the first batch.
    """
    _run(fn, batch, raises)  # warm caches
    gc.collect()
    was_tracing = tracemalloc.is_tracing()
    if not was_tracing:
        tracemalloc.start()
    try:
        growth = []
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            _run(fn, batch, raises)
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
            growth.append(after - before)
            before = after
    finally:
        if not was_tracing:
            tracemalloc.stop()
    allowance = batch * per_call
    if all(g > allowance for g in growth):
        raise AssertionError(
            f"memory grew by {growth} bytes over {rounds} batches of {batch} calls"
        )
