"""The installed package's version, in a module of its own so that any module can name
it without importing the package's top level."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("kinematic-rupture")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"
