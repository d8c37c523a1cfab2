"""Plain helpers of the creation tests: the limits of brace expansion and a plain
Python model of the expansion rules."""

import itertools
import re

PATTERN = r"([^{]*)\{([^}]+)\}([^{]*)"
LIMIT = 1_000_000
LIMIT_MESSAGE = "brace pattern expands to more than 1000000 paths"
CHAR_LIMIT = 100_000_000
CHAR_LIMIT_MESSAGE = "brace pattern expands to more than 100000000 characters"


def model(text):
    """Plain Python statement of the expansion rules."""
    segments, rest = [], text
    while (match := re.search(PATTERN, rest)):
        lead = rest[:match.start()] + match.group(1)
        if not segments and lead and not lead.endswith(("/", "\\")):
            lead += "/"
        items = [item for part in match.group(2).split(",") for item in part.strip().split()]
        segments.append([lead + item + match.group(3) for item in items])
        rest = rest[match.end():]
    if not segments:
        return [text]
    if rest:
        segments.append([rest])
    count = 1
    for segment in segments:
        count *= len(segment)
    if count > LIMIT:
        raise ValueError(LIMIT_MESSAGE)
    if count and sum(sum(map(len, s)) * (count // len(s)) for s in segments) > CHAR_LIMIT:
        raise ValueError(CHAR_LIMIT_MESSAGE)
    return ["".join(parts) for parts in itertools.product(*segments)]
