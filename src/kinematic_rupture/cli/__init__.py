"""The command `kinematic-rupture`, apart from the library it drives: its options, its
one-line failures and its subcommands (`run`, `ensemble`, `validate`, `inspect`,
`export`), one module each. Nothing in the library imports from here.

.. autosummary::

   main
   entry_point
"""

from .app import entry_point, main

__all__ = ["entry_point", "main"]
