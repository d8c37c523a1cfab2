"""The crenly command written as a plain Python program.

It does what the extension module crenly.crenly does, step for step and line
for line: the same module-level probes and warnings, the same version lookup,
the same brace expansion (every group expanded, leftmost slowest, at most
1,000,000 paths and 100,000,000 characters), the same pathlib calls per file, the same console lines,
summary and exit status. The benchmarks run it against the module.
"""

import sys
import os
import re
import traceback
from pathlib import Path
from typing import List, Tuple, Optional  # noqa: F401  (the module binds them too)
import argparse
import itertools

try:
    from trelvin import CustomRichHelpFormatter
except Exception:
    CustomRichHelpFormatter = argparse.RawTextHelpFormatter


def console_line(text):
    """Print one line; a line the console cannot encode is printed with replacements."""
    try:
        print(text)
    except UnicodeEncodeError:
        encoding = getattr(sys.stdout, "encoding", None)
        if not isinstance(encoding, str):
            encoding = "ascii"
        print(text.encode(encoding, "replace").decode(encoding))


try:
    import clipboard

    HAS_CLIPBOARD = True
except ImportError:
    HAS_CLIPBOARD = False
    console_line("Warning: clipboard module not available. Install with: pip install clipboard")

try:
    import gntp.notifier

    HAS_GROWL = True
except ImportError:
    HAS_GROWL = False
    console_line("Warning: gntp module not available. Install with: pip install gntp")

NAME = "crenly"
BRACE_PATTERN = r"([^{]*)\{([^}]+)\}([^{]*)"
MAX_PATHS = 1000000
MAX_CHARS = 100000000
SUBCLASS_NOTE = (
    "crenly rejects subclasses of built-in types here, which is stricter than PEP 484 requires."
)
EPILOG = """
Examples:
  crenly file.txt                       # Create single file
  crenly file1.txt file2.py file3       # Create multiple files
  crenly dir/subdir/file.txt            # Create with directories
  crenly dir/{a,b,c}.txt                # Brace expansion (creates dir/a.txt, dir/b.txt, dir/c.txt)
  crenly dotenv/{__init__.py,core.py}   # Create package structure
  
Note: Use forward slashes (/) for directories, even on Windows.
        """


def type_error(name, expected, value):
    """The TypeError of an argument whose type is not exactly `expected`."""
    error = TypeError(
        f"Argument '{name}' has incorrect type "
        f"(expected {expected.__name__}, got {type(value).__name__})"
    )
    if isinstance(value, expected):
        error.add_note(SUBCLASS_NOTE)
    return error


def get_version():
    """Return the version from __version__.py beside this file, "2.0" without one."""
    try:
        version_file = Path(__file__).parent / "__version__.py"
        if not version_file.is_file():
            version_file = Path(__file__).parent / NAME / "__version__.py"
        if not version_file.is_file():
            return "2.0"
        with open(version_file, "r") as f:
            for line in f:
                if line.strip().startswith("version"):
                    parts = line.split("=")
                    if len(parts) == 2:
                        return parts[1].strip().strip('"').strip("'")
        return "2.0"
    except Exception as e:
        if os.getenv("TRACEBACK") and os.getenv("TRACEBACK") in ("1", "true", "True"):
            console_line(traceback.format_exc())
        else:
            console_line(f"ERROR: {e}")
        return "2.0"


__version__ = get_version()
__filename__ = Path(__file__).name


class FileCreator:
    """Handles file creation with notification support"""

    def __init__(self):
        self.icon_path = Path(__file__).parent / "crenly.jpg"
        self.growl = None
        if HAS_GROWL:
            self._init_growl()

    def _init_growl(self):
        try:
            notifier = gntp.notifier
            icon = str(self.icon_path.as_uri()) if self.icon_path.exists() else None
            self.growl = notifier.GrowlNotifier(
                applicationName="crenly",
                notifications=["create"],
                defaultNotifications=["create"],
                applicationIcon=icon,
            )
            self.growl.register()
        except Exception as e:
            console_line(f"Warning: Could not initialize Growl: {e}")
            self.growl = None

    def parse_brace_expansion(self, text: str) -> List[str]:
        if type(text) is not str:
            raise type_error("text", str, text)
        match = re.search(BRACE_PATTERN, text)
        if not match:
            return [text]
        # One segment per brace group: lead + item + suffix for every item.
        segments = []
        position = 0
        while True:
            lead = text[position : match.start(2) - 1]
            if not segments and lead and not lead.endswith(("/", "\\")):
                lead += "/"
            suffix = match.group(3)
            segments.append([lead + item + suffix for item in match.group(2).replace(",", " ").split()])
            position = match.end()
            if position >= len(text):
                break
            match = match.re.search(text, position)
            if not match:
                segments.append([text[position:]])
                break
        count = 1
        for segment in segments:
            count *= len(segment)
        if count > MAX_PATHS:
            raise ValueError("brace pattern expands to more than 1000000 paths")
        # No path is longer than the text plus its one "/": count the
        # characters only when that bound allows too many.
        if count * (len(text) + 1) > MAX_CHARS:
            chars = sum(sum(map(len, segment)) * (count // len(segment)) for segment in segments)
            if chars > MAX_CHARS:
                raise ValueError("brace pattern expands to more than 100000000 characters")
        if len(segments) == 1:
            return segments[0]
        return ["".join(combination) for combination in itertools.product(*segments)]

    def create_file(self, filepath: str) -> bool:
        if type(filepath) is not str:
            raise type_error("filepath", str, filepath)
        try:
            file_path = Path(filepath)
            file_path.parent.mkdir(parents=True, exist_ok=True)
            if file_path.is_dir():
                raise IsADirectoryError(21, os.strerror(21), str(file_path))
            file_path.touch(exist_ok=True)
            if not file_path.is_file():
                raise OSError(22, os.strerror(22), str(file_path))
            if HAS_CLIPBOARD:
                try:
                    clipboard.copy(str(file_path.absolute()))
                except Exception as e:
                    console_line(f"Warning: Could not copy to clipboard: {e}")
            self._notify(str(file_path))
            console_line(f'\u2713 File created: "{file_path.absolute()}"')
            return True
        except Exception as e:
            console_line(f'\u2717 Error creating file "{filepath}": {e}')
            if "--debug" in sys.argv:
                console_line(traceback.format_exc())
            return False

    def _notify(self, filepath: str):
        if type(filepath) is not str:
            raise type_error("filepath", str, filepath)
        if not self.growl or not HAS_GROWL:
            return
        try:
            growl = self.growl
            description = f'File created: "{Path(filepath).name}"'
            icon = str(self.icon_path.as_uri()) if self.icon_path.exists() else None
            growl.notify(
                noteType="create",
                title="crenly",
                description=description,
                icon=icon,
                sticky=False,
                priority=1,
            )
        except Exception as e:
            if "--debug" in sys.argv:
                console_line(f"Notification error: {e}")

    def create_files(self, files: List[str]) -> int:
        if type(files) is not list:
            raise type_error("files", list, files)
        success_count = 0
        all_files = []
        for file_arg in files:
            if "{" in file_arg and "}" in file_arg:
                all_files.extend(self.parse_brace_expansion(file_arg))
            else:
                all_files.append(file_arg)
        for filepath in all_files:
            if self.create_file(filepath):
                success_count += 1
        return success_count


def main():
    parser = argparse.ArgumentParser(
        description="Create blank files with notification support",
        formatter_class=CustomRichHelpFormatter,
        epilog=EPILOG,
    )
    parser.add_argument("files", metavar="FILE", nargs="*", help="File(s) to create. Supports brace expansion.")
    parser.add_argument(
        "--version", action="version", version=f"crenly v{__version__} by The crenly team (team@crenly.dev)"
    )
    parser.add_argument("--debug", action="store_true", help="Show detailed error messages")
    if len(sys.argv) == 1:
        parser.print_help()
        return 0
    args = parser.parse_args()
    if not args.files:
        parser.print_help()
        return 0

    # Join the arguments and split again at spaces outside braces, so that a
    # pattern the shell split after its commas becomes one name again.
    joined_args = " ".join(args.files)
    file_list = []
    current = []
    in_braces = False
    for char in joined_args:
        if char == "{":
            in_braces = True
            current.append(char)
        elif char == "}":
            in_braces = False
            current.append(char)
        elif char == " " and not in_braces:
            if current:
                file_list.append("".join(current))
                current = []
        else:
            current.append(char)
    if current:
        file_list.append("".join(current))

    creator = FileCreator()
    success_count = creator.create_files(file_list)
    total_expected = sum(
        len(creator.parse_brace_expansion(f)) if "{" in f and "}" in f else 1 for f in file_list
    )
    console_line(f"\n{success_count}/{total_expected} file(s) created successfully")
    return 0 if success_count == total_expected else 1


if __name__ == "__main__":
    sys.exit(main())

__test__ = {}
