"""Validation of ruptures, measured from what they write (`measure`), compared with
published measurements (`published`) and with their own settings (`consistency`), over
one ensemble or a suite across magnitudes (`suite`), reported in Markdown with figures
(`report`, `figures`); `run` ties them together. The command `validate` is
`kinematic_rupture.cli.validate`.

The package gives the names a notebook needs:

.. autosummary::

   run.validate
   run.write_report
   suite.single
   suite.across_magnitudes
   suite.Scenario
   report.Validation
"""

from .report import REPORT, Validation
from .run import validate, write_report
from .suite import Scenario, across_magnitudes, single

__all__ = ["REPORT", "Scenario", "Validation", "across_magnitudes", "single", "validate", "write_report"]
