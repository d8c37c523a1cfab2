"""Plain helpers of the creation tests: the limits of brace expansion."""

LIMIT_MESSAGE = "brace pattern expands to more than 1000000 paths"
CHAR_LIMIT_MESSAGE = "brace pattern expands to more than 100000000 characters"
