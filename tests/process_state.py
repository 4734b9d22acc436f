"""What this process holds, read from /proc, for tests that check nothing leaks."""
import os
import time

HAS_PROC = os.path.isdir("/proc/self/task")


def thread_ids():
    return set(os.listdir("/proc/self/task"))


def open_fd_count():
    return len(os.listdir("/proc/self/fd"))


def fds_open_on(path):
    """How many of this process's descriptors refer to the file `path`; unlike a
    count of all descriptors, other threads opening and closing files leave it alone."""
    target = os.path.realpath(path)
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}") == target
        except OSError:  # closed since the listing
            pass
    return count


def threads_left_since(baseline, timeout=30.0):
    """Threads started after `baseline` that are still alive after up to `timeout` s.

    Only new threads count: threads of earlier tests may end meanwhile, so a
    plain count can drop below the baseline and hide a leak or fail for nothing."""
    deadline = time.monotonic() + timeout
    while (left := thread_ids() - baseline) and time.monotonic() < deadline:
        time.sleep(0.05)
    return left
