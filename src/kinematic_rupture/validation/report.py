"""The validation's report: a Markdown file with two tables, the written ruptures against
published measurements and against their own settings (one column per ensemble), the
comparisons across magnitudes, how each statistic is measured, and the figures.

.. autosummary::

   Validation
   Figure
   report_text
"""

from collections.abc import Sequence
from dataclasses import dataclass

from .comparison import Result
from .suite import Ensemble

__all__ = ["Validation", "Figure", "report_text", "REPORT"]

REPORT = "report.md"


@dataclass(frozen=True, eq=False)
class Validation:
    """A validation's ensembles and every comparison of them.

    Attributes
    ----------
    ensembles : list of Ensemble
        The ensembles, measured.
    published : list of Result
        Their comparisons with published measurements (`published.published`).
    consistency : list of Result
        Their comparisons with their own settings (`consistency.consistency`).
    across : list of Result
        The comparisons across ensembles (`published.across`).
    seconds : float
        How long it took, s.
    """
    ensembles: list[Ensemble]
    published: list[Result]
    consistency: list[Result]
    across: list[Result]
    seconds: float

    @property
    def results(self) -> list[Result]:
        """Every comparison."""
        return [*self.published, *self.consistency, *self.across]

    @property
    def failed(self) -> list[Result]:
        """The comparisons that apply and fail."""
        return [result for result in self.results if result.applies and not result.passed]


def cell(result: Result | None) -> str:
    if result is None:
        return ""
    if not result.applies:
        return "n/a"
    return result.measured_text if result.passed else f"**{result.measured_text} ✗**"


def table(results: Sequence[Result], labels: Sequence[str], source_title: str) -> list[str]:
    """One row per statistic, a column per ensemble, and whether every ensemble passes."""
    keys = list(dict.fromkeys(result.key for result in results))
    found = {(result.key, result.scenario): result for result in results}
    lines = [f"| statistic | expected | {source_title} | {' | '.join(labels)} | result |",
             "|---|---|---|" + "--:|" * len(labels) + "---|"]
    for key in keys:
        row = [found.get((key, label)) for label in labels]
        first = next(result for result in row if result is not None)
        judged = [result for result in row if result is not None and result.applies]
        verdict = ("n/a" if not judged else "pass" if all(r.passed for r in judged) else "fail")
        expected = list(dict.fromkeys(r.expected for r in row if r is not None))
        shown = expected[0] if len(expected) == 1 else f"each its own: {expected[0]} to {expected[-1]}"
        lines.append(f"| {first.statistic} | {shown} | {first.source} | "
                     f"{' | '.join(cell(result) for result in row)} | **{verdict}** |")
    return lines


def across_table(results: Sequence[Result]) -> list[str]:
    lines = ["| statistic | over | measured | expected | source | result |",
             "|---|---|--:|---|---|---|"]
    for result in results:
        lines.append(f"| {result.statistic} | {result.scenario} | {result.measured_text} | "
                     f"{result.expected} | {result.source} | **{result.verdict}** |")
    return lines


def scenario_lines(ensembles: Sequence[Ensemble]) -> list[str]:
    lines = ["| ensemble | fault | cells | dt | ruptures (seeds) | built and measured in |",
             "|---|---|---|---|---|--:|"]
    for ensemble in ensembles:
        scenario = ensemble.scenario
        plane = scenario.fault.planes[0]
        planes = len(scenario.fault.planes)
        seeds = [m.seed for m in ensemble.measures]
        fault = (f"{plane.length_km:g} x {plane.width_km:g} km, dip {plane.dip_deg:g}°, rake "
                 f"{plane.rake_deg:g}°, top {plane.top_depth_km:g} km"
                 + (f" ({planes} planes, {scenario.fault.length_km:g} km along strike)"
                    if planes > 1 else ""))
        lines.append(f"| {scenario.label} | {fault} | {scenario.fault.cell_km:g} km "
                     f"({scenario.fault.subfault_count:,}) | {scenario.settings.dt_s:g} s | "
                     f"{len(seeds)} ({seeds[0]} to {seeds[-1]}) | {ensemble.seconds:.0f} s |")
    return lines


@dataclass(frozen=True)
class Figure:
    """A figure of the report.

    Attributes
    ----------
    file : str
        Its file's name, beside the report.
    caption : str
        Its caption.
    """
    file: str
    caption: str


def methods(results: Sequence[Result]) -> list[str]:
    seen: dict[str, Result] = {}
    for result in results:
        seen.setdefault(result.key, result)
    return [f"- **{result.statistic}** ({result.source}): {result.method}" for result in seen.values()]


def report_text(validation: Validation, figures: Sequence[Figure]) -> str:
    """The report, in Markdown.

    Parameters
    ----------
    validation : Validation
        The validation.
    figures : sequence of Figure
        The figures the report shows, in order.

    Returns
    -------
    str
        The report's text.
    """
    labels = [ensemble.scenario.label for ensemble in validation.ensembles]
    count = sum(len(ensemble.measures) for ensemble in validation.ensembles)
    passed = sum(1 for result in validation.results if result.applies and result.passed)
    judged = sum(1 for result in validation.results if result.applies)
    lines = [
        "# Validation of kinematic ruptures, measured from their SRF files", "",
        f"{count} ruptures in {len(validation.ensembles)} ensemble"
        f"{'s' if len(validation.ensembles) > 1 else ''}, each built, written as SRF 2.0 text "
        f"and measured from that text alone (rupture times, samples, slips, rakes, VS and DEN, "
        f"the PLANE block's hypocentre), never from the fields that made it; hypocentres drawn "
        f"from each seed and its slip as `ensemble` draws them. Built, written and measured in "
        f"{validation.seconds:.0f} s.", "",
        f"**{passed} of {judged} comparisons pass.** A failing value is in bold with ✗; n/a is "
        "a statistic an ensemble cannot give (no part of its fault lies there).", "",
        "## The ensembles", "", *scenario_lines(validation.ensembles), "",
        "## Against published measurements", "",
        "Each range is a published one (or our stated reading of it), the same whatever the "
        "settings.", "", *table(validation.published, labels, "source"), ""]
    if validation.across:
        lines += ["## Across magnitudes", "", *across_table(validation.across), ""]
    lines += ["## Against the ruptures' own settings", "",
              "Each rule against what its settings ask: these pass for any settings the rules "
              "can honour.", "", *table(validation.consistency, labels, "setting"), "",
              "## How each statistic is measured", "", *methods(validation.results), "",
              "## Figures", ""]
    for figure in figures:
        lines += [f"![{figure.caption}]({figure.file})", "", f"*{figure.caption}*", ""]
    return "\n".join(lines)
