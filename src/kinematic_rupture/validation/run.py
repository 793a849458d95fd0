"""A whole validation: the ensembles built and measured, compared, and the report and its
figures written together (each file complete or absent).

.. autosummary::

   validate
   write_report
"""

import time
from collections.abc import Callable, Sequence
from pathlib import Path

from ..files import FileSet
from . import figures, suite
from .consistency import consistency
from .published import across, published
from .report import REPORT, Validation, report_text

__all__ = ["validate", "write_report"]


def validate(scenarios: Sequence[suite.Scenario], seeds: Sequence[int],
             progress: Callable[[int], None] | None = None) -> Validation:
    """Builds the rupture of every seed in every scenario, measures each from its SRF text,
    and compares the ensembles with published measurements and with their settings.

    Parameters
    ----------
    scenarios : sequence of Scenario
        The ensembles (`suite.single` or `suite.across_magnitudes`).
    seeds : sequence of int
        The seeds of every ensemble.
    progress : callable, optional
        Called with 1 after each rupture.

    Returns
    -------
    Validation
        The ensembles and their comparisons.

    Examples
    --------
    >>> from kinematic_rupture import Fault, RuptureSettings
    >>> from kinematic_rupture.validation import single, validate
    >>> fault = Fault.single(length_km=12, width_km=8, cell_km=0.5, top_depth_km=2)
    >>> found = validate([single(fault, RuptureSettings(magnitude=6.0))], seeds=[1, 2])
    >>> [len(ensemble.measures) for ensemble in found.ensembles]
    [2]
    """
    start = time.perf_counter()
    ensembles = [suite.run(scenario, seeds, progress) for scenario in scenarios]
    return Validation(
        ensembles, [r for e in ensembles for r in published(e)],
        [r for e in ensembles for r in consistency(e)],
        across(ensembles) if len(ensembles) > 1 else [], time.perf_counter() - start)


def write_report(directory: Path, validation: Validation) -> Path:
    """The report and its figures, renamed into place together.

    Parameters
    ----------
    directory : pathlib.Path
        Where to write them (made if need be).
    validation : Validation
        The validation.

    Returns
    -------
    pathlib.Path
        The report's path (``DIRECTORY/report.md``).

    Raises
    ------
    OSError
        A directory that cannot be written (nothing is left there).
    """
    directory.mkdir(parents=True, exist_ok=True)
    with FileSet() as files:
        for item, draw in figures.FIGURES:
            files.write_with(directory / item.file, figures.writer(draw(validation)))
        with files.open(directory / REPORT, "w") as stream:
            stream.write(report_text(validation, [item for item, _ in figures.FIGURES]))
        files.commit()
    return directory / REPORT
