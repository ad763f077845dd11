"""Runs mypy's stubtest over corvane._rust and corvane._engine.

The submodules of the extension are attributes, not entries of sys.modules;
they are entered there first so that stubtest can find them by name.
"""

import sys

import corvane._rust as rust
from mypy import stubtest

for name in ("secded", "mset", "cep"):
    sys.modules[f"corvane._rust.{name}"] = getattr(rust, name)

sys.exit(stubtest.test_stubs(stubtest.parse_options(sys.argv[1:] + ["corvane._rust", "corvane._engine"])))
