"""Drawing distinct indices from a huge range with Picker."""

import os
import random
import subprocess
import sys
from itertools import islice

from corvane._rust import Picker
from functools import cache

from harness import Planned, Row, median_time

DRAWS = 10**6
RANGE = 2**40
BUDGET = 64  # bytes of memory per value drawn

# Runs in a fresh interpreter so that memory freed by earlier benchmarks
# cannot hide the picker's growth. Prints the resident growth once the draws
# are done and the peak growth while drawing (the map's growth step briefly
# holds its old and new tables), in bytes.
MEMORY_PROBE = f"""
import collections, itertools
from corvane._rust import Picker

def status_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

p = Picker({RANGE}, seed=1)
before = status_kib("VmRSS")
collections.deque(itertools.islice(p, {DRAWS}), maxlen=0)
# VmHWM, unlike ru_maxrss, belongs to this address space alone: it does not
# inherit the size of the process that spawned this one.
print(1024 * (status_kib("VmRSS") - before), 1024 * (status_kib("VmHWM") - before))
"""


def memory_growth():
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE], check=True, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    resident, peak = (int(x) for x in out.stdout.split())
    return resident / DRAWS, peak / DRAWS


def benchmarks():
    def speed(name):
        picked = median_time(lambda: list(islice(Picker(RANGE, seed=1), DRAWS)))
        sampled = median_time(lambda: random.sample(range(RANGE), DRAWS))
        return Row(name, picked, "random.sample(range(2**40), 10**6)", sampled, ">= 5x faster")

    growth = cache(memory_growth)

    def memory(name, which):
        return Row(name, growth()[which], "budget per value drawn", BUDGET, "<= 1x", unit="B/draw")

    name = "list(islice(Picker(2**40, seed=1), 10**6))"
    yield Planned(name, lambda: speed(name))
    resident = "Picker(2**40): resident growth after 10^6 draws"
    yield Planned(resident, lambda: memory(resident, 0))
    peak = "Picker(2**40): peak growth during 10^6 draws"
    yield Planned(peak, lambda: memory(peak, 1))
