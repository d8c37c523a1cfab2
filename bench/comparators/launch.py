"""Runs `main` of the comparator named by the first argument, as its command.

A launcher keeps the comparator itself importable, so that it runs from cached
bytecode like an installed command does: `python launch.py plain_crenly ARGS`.
"""

import sys

if __name__ == "__main__":
    name = sys.argv.pop(1)
    sys.exit(__import__(name).main())
