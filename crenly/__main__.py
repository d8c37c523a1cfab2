"""``python -m crenly``: the same as the ``crenly`` command."""

import sys

if __name__ == "__main__":
    # argparse names the program after argv[0]; show the command's name.
    sys.argv[0] = "crenly"
    from crenly.crenly import main

    sys.exit(main())
