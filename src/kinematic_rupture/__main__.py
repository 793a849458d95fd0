"""`python -m kinematic_rupture`: the command."""

from .cli import entry_point

entry_point()
