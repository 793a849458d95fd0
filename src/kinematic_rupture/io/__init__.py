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
    """One format of `FORMATS`.

    Attributes
    ----------
    write : callable
        Its writer, ``write(source, path, **options)``.
    suffix : str
        The suffix of the command's default output name, after the source's stem.
    options : tuple of str
        The keywords its writer takes.
    reader : str
        The codes that read it.
    """

    write: Callable[..., None]
    suffix: str
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
    """Writes a rupture as the file another code reads as it is.

    Parameters
    ----------
    source : Rupture, SrfFile, str or os.PathLike
        A rupture just built, an SRF file read, or the path of an SRF file (read first;
        the output may not be that file).
    path : str or os.PathLike
        The file to write: complete or absent.
    format : str
        One of `FORMATS`: ``"srf-single-block"`` (SW4's ``rupture``, instaseis),
        ``"sw4-hdf5"``, ``"seissol-nrf"``, ``"specfem-cmt"``, ``"points-hdf5"``.
    **options
        That format's options (`Format.options`): ``version``, ``comments``
        (srf-single-block); ``version`` (sw4-hdf5); ``projection`` (required, a PROJ
        string or EPSG code in metres), ``deflate`` (seissol-nrf); ``patch_km``,
        ``stf_dt``, ``stf_nstep``, ``stf_prefix``, ``velocity_model`` (specfem-cmt);
        ``origin`` (lon, lat), ``velocity_model`` (points-hdf5).

    Raises
    ------
    SettingError
        An unknown format, an option it does not take or a value it cannot use.
    SrfError
        A source the format cannot carry (slip that opens, or turns as it slips, for the
        formats that take one direction a point), or a path that is not SRF.

    Examples
    --------
    >>> from kinematic_rupture import export
    >>> export("rupture.srf", "rupture.srf.h5", "sw4-hdf5")  # doctest: +SKIP
    """
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
    """The format of a name.

    Parameters
    ----------
    name : object
        A key of `FORMATS`.

    Returns
    -------
    Format
        Its writer, suffix, options and readers.

    Raises
    ------
    SettingError
        An unknown format, named ``format``, listing them.
    """
    if name not in FORMATS:
        raise SettingError("format", name, f"not a format; one of {', '.join(FORMATS)}")
    return FORMATS[str(name)]


__all__ = ["FORMATS", "Format", "export", "format_of"]
