"""A whole validation: the ensembles built and measured, compared, and the report and its
figures written together (each file complete or absent)."""

import time
from collections.abc import Callable, Sequence
from pathlib import Path

from ..files import FileSet
from . import figures, suite
from .consistency import consistency
from .published import across, published
from .report import REPORT, Validation, report_text


def validate(scenarios: Sequence[suite.Scenario], seeds: Sequence[int],
             progress: Callable[[int], None] | None = None) -> Validation:
    """Builds the rupture of every seed in every scenario, measures each from its SRF
    text, and compares the ensembles with published measurements and with their settings."""
    start = time.perf_counter()
    ensembles = [suite.run(scenario, seeds, progress) for scenario in scenarios]
    return Validation(
        ensembles, [r for e in ensembles for r in published(e)],
        [r for e in ensembles for r in consistency(e)],
        across(ensembles) if len(ensembles) > 1 else [], time.perf_counter() - start)


def write_report(directory: Path, validation: Validation) -> Path:
    """The report and its figures, renamed into place together; returns the report's path."""
    directory.mkdir(parents=True, exist_ok=True)
    with FileSet() as files:
        for item, draw in figures.FIGURES:
            files.write_with(directory / item.file, figures.writer(draw(validation)))
        with files.open(directory / REPORT, "w") as stream:
            stream.write(report_text(validation, [item for item, _ in figures.FIGURES]))
        files.commit()
    return directory / REPORT
