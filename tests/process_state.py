"""What this process holds, read from /proc, for tests that check nothing leaks."""
import os
import time

HAS_PROC = os.path.isdir("/proc/self/task")


def thread_ids():
    return set(os.listdir("/proc/self/task"))


def open_fd_count():
    return len(os.listdir("/proc/self/fd"))


def threads_left_since(baseline, timeout=30.0):
    """Threads started after `baseline` that are still alive after up to `timeout` s.

    Only new threads count: threads of earlier tests may end meanwhile, so a
    plain count can drop below the baseline and hide a leak or fail for nothing."""
    deadline = time.monotonic() + timeout
    while (left := thread_ids() - baseline) and time.monotonic() < deadline:
        time.sleep(0.05)
    return left
