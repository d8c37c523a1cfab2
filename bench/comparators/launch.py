"""Runs `main` of the comparator named by the first argument, as its command.

A launcher keeps the comparator itself importable, so that it runs from cached
bytecode like an installed command does: `python launch.py plain_crenly ARGS`.

With `--hold` first, the comparator's module is also held from `sys` until the
interpreter ends, as the extension module holds itself: the module and what it
imports then outlive the finalizer's first collection, as crenly's do.
"""

import sys

if __name__ == "__main__":
    hold = sys.argv[1] == "--hold"
    if hold:
        del sys.argv[1]
    name = sys.argv.pop(1)
    module = __import__(name)
    if hold:
        sys._held_comparator = module
    sys.exit(module.main())
