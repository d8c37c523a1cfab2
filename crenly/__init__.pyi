from .crenly import FileCreator as FileCreator
from .crenly import get_version as get_version
from .crenly import main as main

__all__ = ["FileCreator", "get_version", "main", "__version__"]
__version__: str
