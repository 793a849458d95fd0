"""`python -m kinematic_rupture`: the command."""

from .command import entry_point

entry_point()
