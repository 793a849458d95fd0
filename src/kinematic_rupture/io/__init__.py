"""Exports of a rupture into the files wave-propagation codes read, one module a format
(as ObsPy keeps one package a format), each with `write_<format>(source, path, **options)`
where `source` is what `read_srf` returns (an SrfFile) or a built Rupture:

    srf-single-block  srf_single_block.write_srf_single_block   SW4 `rupture`, instaseis
    sw4-hdf5          sw4_hdf5.write_sw4_hdf5                   SW4 `rupturehdf5`
    seissol-nrf       seissol_nrf.write_seissol_nrf             SeisSol (NRF, Type = 42)
    specfem-cmt       specfem_cmt.write_specfem_cmt             SPECFEM3D CMTSOLUTION
    points-hdf5       points_hdf5.write_points_hdf5             Salvus, AxiSEM3D, pyrocko

`export(source, path, format, **options)` dispatches on the format's name; a source given
as a path is read first, and the output may not be that file. Every file is complete or
absent. A refused option is a SettingError naming it; a source the format cannot carry,
an SrfError.
"""

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from ..checks import SettingError
from ..srf import read_srf
from . import points_hdf5, seissol_nrf, specfem_cmt, srf_single_block, sw4_hdf5
from .common import Source, distinct_output


@dataclass(frozen=True)
class Format:
    write: Callable[..., None]
    suffix: str  # of the default output name, after the source's stem
    options: tuple[str, ...]
    reader: str


FORMATS = {
    "srf-single-block": Format(srf_single_block.write_srf_single_block, ".single.srf",
                               srf_single_block.OPTIONS, "SW4 (rupture), instaseis"),
    "sw4-hdf5": Format(sw4_hdf5.write_sw4_hdf5, ".srf.h5", sw4_hdf5.OPTIONS,
                       "SW4 (rupturehdf5)"),
    "seissol-nrf": Format(seissol_nrf.write_seissol_nrf, ".nrf", seissol_nrf.OPTIONS,
                          "SeisSol (NRF)"),
    "specfem-cmt": Format(specfem_cmt.write_specfem_cmt, ".CMTSOLUTION", specfem_cmt.OPTIONS,
                          "SPECFEM3D (CMTSOLUTION)"),
    "points-hdf5": Format(points_hdf5.write_points_hdf5, ".points.h5", points_hdf5.OPTIONS,
                          "Salvus, AxiSEM3D, pyrocko, notebooks"),
}


def export(source: Source | str | os.PathLike[str], path: str | os.PathLike[str], format: str,
           **options: Any) -> None:
    """Writes `source` (an SrfFile, a Rupture, or the path of an SRF file) to `path` in
    `format`, one of FORMATS, with that format's options."""
    chosen = format_of(format)
    unknown = sorted(set(options) - set(chosen.options))
    if unknown:
        raise SettingError(unknown[0], options[unknown[0]], f"is not an option of {format}; "
                           f"its options: {', '.join(chosen.options) or 'none'}")
    if isinstance(source, (str, os.PathLike)):
        distinct_output(source, path)
        source = read_srf(source)
    chosen.write(source, path, **options)


def format_of(name: object) -> Format:
    if name not in FORMATS:
        raise SettingError("format", name, f"not a format; one of {', '.join(FORMATS)}")
    return FORMATS[str(name)]


__all__ = ["FORMATS", "Format", "export", "format_of"]
