"""The version of the quiremark Python package, kept equal to the C library's project version."""

__version__ = "0.1.0"
