"""`python -m kinematic_rupture.cli`: the command."""

from .app import entry_point

entry_point()
