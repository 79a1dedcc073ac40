"""One process that instructions.py counts under callgrind.

    python benchmarks/instructions_worker.py IMPL WORKLOAD COUNT [SITE]

With IMPL "none" it runs timeit's loop around an empty statement and imports
nothing: the loop's own cost.  Otherwise it imports implementation IMPL (for
"baseline", the native module installed in the directory SITE), builds the
registry of the workloads, runs the statement of WORKLOAD COUNT times in
timeit's loop (garbage collection off) and prints what the result checks
found wrong, one line each.  Everything the process does is counted, so it
imports no more than it needs.
"""
from __future__ import annotations

import sys
import timeit

import workloads


def main(argv: list[str]) -> int:
    """Run one measured process; the exit status tells whether it could."""
    impl, workload, count = argv[0], argv[1], int(argv[2])
    site = argv[3] if len(argv) > 3 else None
    if impl == "none":
        timeit.Timer("pass").timeit(count)
        return 0
    mod = workloads.import_impl(impl, site)
    problems: dict[str, str] = {}
    namespace = workloads.workload_namespace(mod, problems)
    for name, text in sorted(problems.items()):
        print("%s: %s" % (name, text))
    if "pm" not in namespace:
        return 1
    statement = dict((w[0], w[2]) for w in workloads.WORKLOADS)[workload]
    timeit.Timer(statement, globals=namespace).timeit(count)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
