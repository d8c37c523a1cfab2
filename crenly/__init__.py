"""crenly: create blank files from the command line or from Python.

The work is done by the extension module ``crenly.crenly``; it is imported
on first use of ``FileCreator``, ``get_version`` or ``main`` here, so that
``import crenly`` alone stays cheap and prints nothing; ``__version__`` is
read from the version file on first use too.
"""

__all__ = ["FileCreator", "get_version", "main", "__version__"]


def __getattr__(name):
    if name == "__version__":
        from .__version__ import version

        # The import bound the submodule under this name; the text replaces it.
        globals()["__version__"] = version
        return version
    if name in ("FileCreator", "get_version", "main"):
        from . import crenly as module

        return getattr(module, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
