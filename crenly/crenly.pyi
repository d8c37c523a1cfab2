"""Type information for the extension module crenly.crenly."""

import argparse
from pathlib import Path
from typing import Any

NAME: str
HAS_CLIPBOARD: bool
HAS_GROWL: bool
__version__: str
__filename__: str
__test__: dict[str, Any]
# trelvin's formatter when that package is installed, else
# argparse.RawTextHelpFormatter.
CustomRichHelpFormatter: type[argparse.HelpFormatter]

def get_version() -> str: ...
def main() -> int: ...

class FileCreator:
    icon_path: Path
    # The registered GNTP notifier, or None when notifications are off.
    growl: Any | None
    def __init__(self) -> None: ...
    def _init_growl(self) -> None: ...
    def parse_brace_expansion(self, text: str) -> list[str]: ...
    def create_file(self, filepath: str) -> bool: ...
    def _notify(self, filepath: str) -> None: ...
    def create_files(self, files: list[str]) -> int: ...
