"""The floor: only the work that creating and reporting each path needs.

It imports just the standard modules that the crenly module body imports,
and per path makes a Path, creates the parent directories, tests for a
directory, touches the file, tests for a regular file, makes the path
absolute and prints one line.
No expansion, no argument parsing, no probes, no summary.
"""

import sys
import os  # noqa: F401  (imported for the start-up floor)
import re  # noqa: F401
import traceback  # noqa: F401
from pathlib import Path
import typing  # noqa: F401
import argparse  # noqa: F401


def create(paths):
    count = 0
    for name in paths:
        path = Path(name)
        path.parent.mkdir(parents=True, exist_ok=True)
        if not path.is_dir():
            path.touch(exist_ok=True)
            count += path.is_file()
        print(f'\u2713 File created: "{path.absolute()}"')
    return count


def main():
    create(sys.argv[1:])
    return 0
