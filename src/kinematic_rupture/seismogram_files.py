"""Seismograms as MiniSEED with a StationXML inventory, through ObsPy, and the stations'
peak motions and response spectra as CSV.

`seismograms.mseed` holds, for every station, three quantities on three components, as
64-bit floats in SI units: location code DI for displacement (m), VE for velocity (m/s)
and AC for acceleration (m/s^2); channels ?XE, ?XN and ?XZ (X: a synthetic channel; the
band letter follows the sample rate as SEED's band codes do, B from 10 to 80 samples a
second). Time 0 of the rupture (TINIT = 0) is ORIGIN_TIME. Network XX.

`stations.xml` is the FDSN StationXML inventory of the same channels, with each station's
coordinates (elevation 0, at the free surface), its name in the site name, and a response
of unit sensitivity in the channel's quantity (M, M/S or M/S**2). A station's code is its
name when every name is 1 to 5 letters and digits, unique in capitals (SEED's rule for
station codes); otherwise the codes are S0001, S0002, ... in the order of the list.

`spectra.csv` has a line per station: its name, code, coordinates, Rrup and Rjb (km),
RotD50 PGV (m/s) and PGA (m/s^2) of the band-limited motion, and the RotD50 pseudo-spectral
accelerations at 5% damping (g) at each period, one column each (psa_T_g).
"""

import csv
import io
import re
from collections.abc import Sequence
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from .shaking import Seismograms
from .stations import Station

__all__ = ["write_miniseed", "write_stationxml", "write_spectra_csv", "stream_of",
           "inventory_of", "station_codes", "band_code"]

FloatArray = npt.NDArray[np.float64]

NETWORK = "XX"
ORIGIN_TIME = "2000-01-01T00:00:00"
QUANTITIES = (("DI", "displacement", "M"), ("VE", "velocity", "M/S"),
              ("AC", "acceleration", "M/S**2"))
COMPONENTS = (("E", 90.0, 0.0), ("N", 0.0, 0.0), ("Z", 0.0, -90.0))
SEED_CODE = re.compile(r"[A-Za-z0-9]{1,5}")
# SEED band codes by sample rate (Hz), highest first: (lowest rate, code).
BAND_CODES = ((1000.0, "F"), (250.0, "C"), (80.0, "H"), (10.0, "B"), (1.0 + 1e-9, "M"),
              (0.5, "L"), (0.05, "V"), (0.0, "U"))


def station_codes(stations: Sequence[Station]) -> list[str]:
    """The stations' SEED codes: their names in capitals when every name is 1 to 5 letters and
    digits, unique in capitals; otherwise S0001, S0002, ... in the list's order.

    Parameters
    ----------
    stations : sequence of Station
        The stations.

    Returns
    -------
    list of str
        One code a station.
    """
    names = [station.name for station in stations]
    capitals = [name.upper() for name in names]
    if all(SEED_CODE.fullmatch(name) for name in names) and len(set(capitals)) == len(names):
        return capitals
    return [f"S{number:04d}" for number in range(1, len(names) + 1)]


def band_code(sample_rate_hz: float) -> str:
    """SEED's band code of a sample rate.

    Parameters
    ----------
    sample_rate_hz : float
        Samples a second.

    Returns
    -------
    str
        One letter (B from 10 to 80 samples a second).
    """
    return next(code for lowest, code in BAND_CODES if sample_rate_hz >= lowest)


def stream_of(stations: Sequence[Station], motion: Seismograms) -> Any:
    """The ObsPy Stream of every station, quantity and component (see the module's
    description).

    Parameters
    ----------
    stations : sequence of Station
        The stations, in the motion's order.
    motion : Seismograms
        Their motion.

    Returns
    -------
    obspy.Stream
        Nine traces a station.
    """
    from obspy import Stream, Trace, UTCDateTime
    start = UTCDateTime(ORIGIN_TIME) + motion.start_s
    band = band_code(1.0 / motion.dt_s)
    traces = []
    codes = station_codes(stations)
    for number, code in enumerate(codes):
        for location, quantity, _ in QUANTITIES:
            values = getattr(motion, quantity)[number]
            for axis, (component, _, _) in enumerate(COMPONENTS):
                trace = Trace(np.ascontiguousarray(values[axis], dtype=np.float64))
                trace.stats.network = NETWORK
                trace.stats.station = code
                trace.stats.location = location
                trace.stats.channel = f"{band}X{component}"
                trace.stats.starttime = start
                trace.stats.delta = motion.dt_s
                traces.append(trace)
    return Stream(traces)


def inventory_of(stations: Sequence[Station], motion: Seismograms) -> Any:
    """The StationXML inventory of the stream's channels.

    Parameters
    ----------
    stations : sequence of Station
        The stations, in the motion's order.
    motion : Seismograms
        Their motion.

    Returns
    -------
    obspy.Inventory
        Network XX, each station's nine channels with responses of unit sensitivity.
    """
    from obspy import UTCDateTime
    from obspy.core.inventory import (Channel, InstrumentSensitivity, Inventory, Network,
                                      Response, Site)
    from obspy.core.inventory import Station as InventoryStation
    start = UTCDateTime(ORIGIN_TIME) + motion.start_s
    rate = 1.0 / motion.dt_s
    band = band_code(rate)
    entries = []
    for station, code in zip(stations, station_codes(stations)):
        channels = []
        for location, quantity, unit in QUANTITIES:
            for component, azimuth, dip in COMPONENTS:
                sensitivity = InstrumentSensitivity(1.0, 0.1 * rate, unit, unit,
                                                    input_units_description=quantity)
                channels.append(Channel(
                    f"{band}X{component}", location, station.lat, station.lon, 0.0, 0.0,
                    azimuth=azimuth, dip=dip, sample_rate=rate, start_date=start,
                    response=Response(instrument_sensitivity=sensitivity)))
        entries.append(InventoryStation(code, station.lat, station.lon, 0.0, channels=channels,
                                        site=Site(name=station.name), start_date=start))
    network = Network(NETWORK, stations=entries, description="synthetic seismograms",
                      start_date=start)
    return Inventory(networks=[network], source="kinematic-rupture shake")


def write_miniseed(stream: IO[bytes], stations: Sequence[Station], motion: Seismograms) -> None:
    """Writes the stream as MiniSEED (64-bit floats, records of 4096 bytes).

    Parameters
    ----------
    stream : binary stream
        Where to write it.
    stations : sequence of Station
        The stations, in the motion's order.
    motion : Seismograms
        Their motion.
    """
    buffer = io.BytesIO()
    stream_of(stations, motion).write(buffer, format="MSEED", encoding="FLOAT64", reclen=4096)
    stream.write(buffer.getvalue())


def write_stationxml(stream: IO[bytes], stations: Sequence[Station], motion: Seismograms) -> None:
    """Writes the inventory as FDSN StationXML.

    Parameters
    ----------
    stream : binary stream
        Where to write it.
    stations : sequence of Station
        The stations, in the motion's order.
    motion : Seismograms
        Their motion.
    """
    buffer = io.BytesIO()
    inventory_of(stations, motion).write(buffer, format="STATIONXML")
    stream.write(buffer.getvalue())


def write_spectra_csv(stream: IO[str], stations: Sequence[Station], rrup_km: FloatArray,
                      rjb_km: FloatArray, pgv_m_s: FloatArray, pga_m_s2: FloatArray,
                      periods_s: FloatArray, psa_g: FloatArray) -> None:
    """Writes the stations' peaks and spectra as CSV (see the module's description).

    Parameters
    ----------
    stream : text stream
        Where to write it.
    stations : sequence of Station
        The stations.
    rrup_km, rjb_km : numpy.ndarray
        Their distances, km.
    pgv_m_s, pga_m_s2 : numpy.ndarray
        RotD50 PGV (m/s) and PGA (m/s^2).
    periods_s : numpy.ndarray
        The periods, s.
    psa_g : numpy.ndarray
        RotD50 pseudo-spectral accelerations, g, (stations, periods).
    """
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(["name", "code", "lon", "lat", "rrup_km", "rjb_km", "pgv_m_s", "pga_m_s2",
                     *(f"psa_{period:g}s_g" for period in periods_s)])
    for k, (station, code) in enumerate(zip(stations, station_codes(stations))):
        writer.writerow([station.name, code, f"{station.lon:.6f}", f"{station.lat:.6f}",
                         f"{rrup_km[k]:.3f}", f"{rjb_km[k]:.3f}", f"{pgv_m_s[k]:.6e}",
                         f"{pga_m_s2[k]:.6e}", *(f"{value:.6e}" for value in psa_g[k])])
