"""crenly: create blank files from the command line or from Python.

The work is done by the extension module ``crenly.crenly``; it is imported
on first use of ``FileCreator``, ``get_version`` or ``main`` here, so that
``import crenly`` alone stays cheap and prints nothing; ``__version__`` is
read from the version file on first use too.
"""

import sys as _sys

_ModuleType = type(_sys)  # types.ModuleType, without importing types

__all__ = ["FileCreator", "get_version", "main", "__version__"]


class _Package(_ModuleType):
    """The package's module type: ``crenly.__version__`` is always the text."""

    def __setattr__(self, name, value):
        # Importing the submodule crenly.__version__ (`import crenly.__version__`,
        # or the lookup below) binds it here under its own name, whether or not
        # the text was read before: the text is bound in its place.
        if name == "__version__" and isinstance(value, _ModuleType):
            value = value.version
        super().__setattr__(name, value)


_sys.modules[__name__].__class__ = _Package


def __getattr__(name):
    if name == "__version__":
        from .__version__ import version

        return version
    if name in ("FileCreator", "get_version", "main"):
        from . import crenly as module

        return getattr(module, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
