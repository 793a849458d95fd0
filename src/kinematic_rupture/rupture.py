"""One kinematic rupture on a fault: slip, rupture times, rise times, slip-rate pulses and
the moment rate they sum to.

1. Slip: a von Kármán random field (Mai and Beroza 2002) drawn by circulant embedding,
   exponentiated (slip is positive and skewed), tapered towards the buried edges and
   scaled to the target moment with the crust's rigidity. A cell coarser than the front's
   fine cells carries their mean slip, the moment of the patch it stands for: read at its
   centre, it would alias the slip's shorter wavelengths into its own.
2. Rupture front: a fraction of the local shear-wave speed, perturbed by the draw's
   second, independent field and kept between `rupture_velocity_min_fraction` and
   `rupture_velocity_max_fraction`; first-arrival times from the hypocentre by the
   eikonal solver.
3. Slip rate: rise times that grow with the square root of slip around the average of
   Somerville et al. (1999), and a Liu-Archuleta-Hartzell pulse on every subfault.
4. Moment rate: every subfault's pulse, smoothed over the time the front takes to cross
   its cell and centred on its rupture time, weighted by its rigidity and area, summed on
   the pulses' time grid.

Per-subfault arrays are flat, in subfault order (plane by plane, along strike fastest);
`Fault.on_plane` shows one plane's part as a grid. The same fault and settings give the
same arrays, bit for bit, in any process.
"""

import math
import os
from collections.abc import Sequence
from dataclasses import dataclass, field, fields, replace
from typing import IO, TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import _kernels

from . import checks, kinematics, memory, scaling
from .checks import SettingError
from .crust import GenericCrust, LayeredModel, VelocityModel, rigidity_pa
from .field import Embedding, largest_padding
from .random_fields import (ReferenceFields, base_on_chart, detail_on_chart, draw_reference,
                            reference_grid, smoothing_km)
from .timing import timing
from .geometry import Fault
from .charts import Chart, chart_junctions, fault_charts
from .front import Seed, front_times, hypocentre_seed
from .moment import moment_rate
from .pulses import (boxcar_taps, centred_starts, crossing_widths, nonzero_spans,
                     rupture_duration_s, slip_spans_s, smooth_rows)
from .physics_settings import (Rake, RiseTime, RuptureSpeed, ShallowZone, SlipSettings,
                               TimePerturbation)
from .hypocentre import (DISTRIBUTIONS, check_hypocentre, default_hypocentre, draw_hypocentre,
                         hypocentre_subfault)

if TYPE_CHECKING:  # what a Rupture's methods give
    from .grids import Grid, MomentRate

__all__ = ["Rupture", "RuptureSettings", "build_rupture"]

FloatArray = npt.NDArray[np.float64]

# The pulse kernel gives no samples to a subfault whose slip is at most this.
SLIP_THRESHOLD_M = 1e-4
# Slip tapers to zero over this fraction of the fault's length or width at a buried edge.
TAPER_FRACTION = 0.15
# Samples the shortest slipping rise time should have; fewer is warned about.
SAMPLES_PER_RISE_TIME = 10
# Rise times as written averaging more than this share above the asked mean (the cells'
# crossing time taking up the pulses) are warned about.
RISE_TIME_EXCESS = 0.1
# A gap between planes wider than this is warned about: Wesnousky (2006, Nature 444,
# 358-360) found the historical strike-slip ruptures he mapped stopped at steps of 3 to
# 4 km and wider, and none jumped a step wider than about 5 km.
WIDEST_JUMP_KM = 5.0
# A jump delay is at most this: no recorded rupture has lasted longer than about ten
# minutes (the 2004 Sumatra-Andaman earthquake, about 500 s; Ammon et al. 2005, Science
# 308, 1133-1139), and a fault triggered later is another earthquake.
LONGEST_JUNCTION_DELAY_S = 600.0
# A slip rate sampled less often than every 10 s leaves no pulse of any earthquake (the
# largest ruptures' rise times are some tens of seconds) more than a sample or two; the
# bounds of the other settings without a natural one are in `physics_settings`.
MAX_DT_S = 10.0


@dataclass(frozen=True)
class RuptureSettings:
    """What, besides the fault, decides a rupture. Each rule's source is cited where it is
    applied (module `kinematics`); the defaults are those sources' values, and the manual's
    physics page lists them.

    The settings are stored flat, as settings files, sidecars and the command's ``--set
    NAME=VALUE`` name them; the properties `slip`, `shallow_zone`, `rupture_speed`,
    `rise_time`, `time_perturbation` and `rake` give them by concept as the objects of
    `physics_settings`, which the rules of `kinematics` take. Every value is checked when the
    settings are made; a bad one is refused naming it.

    Parameters
    ----------
    magnitude : float
        The moment magnitude Mw, -2 to 10; the slip is scaled to its moment.
    seed : int
        The random fields' and the hypocentre's seed, 0 to 2^64 - 1: it names one rupture at
        any cell size (see `random_fields`).
    hypocentre_km : tuple of float, optional
        Where the rupture starts: (km along strike from the fault's first end, km down dip
        from the top edge of the plane there). Without it, `hypocentre_distribution` draws
        one; with neither, it lies a third of the way along strike and two thirds of the way
        down dip.
    hurst : float
        The Hurst exponent of the slip's von Kármán field, in (0, 1].
    correlation_km : tuple of float, optional
        The slip field's correlation lengths (along strike, down dip), km; None scales them
        with magnitude (Mai and Beroza 2002).
    slip_cov : float
        The coefficient of variation of the lognormal slip before tapering, in (0, 5].
    dt_s : float
        The slip-rate pulses' sample interval, s, in (0, 10].
    beta : float
        The pulses' rising fraction (Liu, Archuleta and Hartzell 2006), in (0, 0.5].
    rupture_velocity_fraction : float
        The mean rupture speed, as a fraction of the local shear-wave speed.
    rupture_velocity_min_fraction, rupture_velocity_max_fraction : float
        The slowest and fastest it may be, fractions of the shear-wave speed in (0, 2]; a
        largest fraction above 1 asks for supershear rupture; below it, no written rupture
        time is faster than the shear-wave speed on more than a hundredth of the fault.
    rupture_velocity_std : float
        The fractional standard deviation of its random part, 0 to 1, a field correlated
        with slip at `rupture_velocity_slip_correlation` (0 to 1).
    rupture_velocity_slip_correlation : float
        See `rupture_velocity_std`.
    shallow_depth_km, shallow_transition_km : float
        The shallow zone: fully above `shallow_depth_km` (km below the surface), ramping back
        to the deep values over the next `shallow_transition_km` (km).
    shallow_rupture_velocity_factor : float
        The rupture speed's factor in the shallow zone, in (0, 1].
    shallow_rise_time_factor : float
        How many times longer rise times are in the shallow zone, 1 to 10.
    rise_time_coefficient : float
        The mean rise time is ``rise_time_coefficient * alpha_T * M0^(1/3)``, s, with M0 in
        dyne cm and alpha_T the mechanism factor (`kinematics.mechanism_factor`); s per
        (dyne cm)^(1/3), in (0, 1e-7].
    rise_time_slip_correlation : float
        The correlation of log rise time with log slip, in (0, 1]; rise times grow with the
        square root of slip, and a random part brings the correlation down to this.
    rise_time_spread : float
        All but 5% of rise times lie within this factor of their median (the log offsets
        scaled down together, the 5% clipped to the bounds); in (1, 100].
    time_perturbation_intercept_s : float
        Rupture times are the front's, made earlier where slip is large by
        (`time_perturbation_intercept_s` + `time_perturbation_slope` M0^(1/3)) times a field
        correlated with slip at `time_perturbation_slip_correlation`, scaled down as far as
        its gradient along the front's travel would make the front faster than the
        shear-wave speed. The intercept, s,
        -10 to 10.
    time_perturbation_slope : float
        The slope, s per (dyne cm)^(1/3), 0 to 1e-8.
    time_perturbation_slip_correlation : float
        The field's correlation with slip, 0 to 1.
    rake_std_deg : float
        The rake varies around each plane's by this standard deviation, degrees (0 to 90),
        with its slip-weighted mean the plane's.
    rake_max_deviation_deg : float
        The largest deviation of the rake from the plane's, degrees, 0 to 90.
    hypocentre_distribution : {None, "mai2005", "melgar-hayes2019"}
        Draws the hypocentre from the seed and the slip (`hypocentre.draw_hypocentre`): the
        positions of Mai et al. (2005) or of Melgar and Hayes (2019), weighted by slip class
        as Mai et al.'s hypocentres fell. Not with `hypocentre_km`.
    junction_delay_s : float
        Where consecutive planes lie apart, the front jumps the gap at the rupture speed of
        the cells it reaches and this much later, s, 0 to 600 (see `front`).
    velocity_model : GenericCrust or LayeredModel
        The crust: its shear-wave speed and density give the rigidity (which converts the
        moment to slip) and the rupture speed.

    Raises
    ------
    SettingError
        A value out of its range, named by its setting; a hypocentre and a distribution
        both given.

    Examples
    --------
    >>> from kinematic_rupture import RuptureSettings
    >>> settings = RuptureSettings(magnitude=6.5, seed=3, rupture_velocity_fraction=0.75)
    >>> settings.rupture_speed.fraction
    0.75
    >>> RuptureSettings(rake_std_deg=120)
    Traceback (most recent call last):
    ...
    kinematic_rupture.errors.SettingError: rake_std_deg 120: a standard deviation in degrees must be in [0, 90]
    """

    magnitude: float = 7.0
    seed: int = 20261208
    hypocentre_km: tuple[float, float] | None = None
    hurst: float = 0.75
    correlation_km: tuple[float, float] | None = None
    # 0.85: the slip's coefficient of variation of Graves and Pitarka (2010) as the SCEC
    # Broadband Platform first set it (SLIP_SIGMA; later 0.75), which gives the written
    # moment rate Brune stress drops of 1 to 10 MPa (Kanamori and Anderson 1975).
    slip_cov: float = 0.85
    dt_s: float = 0.05
    beta: float = 0.13
    rupture_velocity_fraction: float = 0.8
    rupture_velocity_min_fraction: float = 0.3
    rupture_velocity_max_fraction: float = 0.95
    rupture_velocity_std: float = 0.1
    rupture_velocity_slip_correlation: float = 0.8
    shallow_depth_km: float = 5.0
    shallow_transition_km: float = 3.0
    shallow_rupture_velocity_factor: float = 0.7
    shallow_rise_time_factor: float = 2.0
    rise_time_coefficient: float = 2.03e-9
    # 0.8: the correlation of log rise time with log slip of the Broadband Platform's first
    # settings of Graves and Pitarka (2010, 2016) (rtime1_scor; later 0.5), which go with
    # its slip_cov of 0.85: at 0.5, that slip's longest rise times reached over a third of
    # small ruptures' durations and their peak slip rates beyond 10 m/s.
    rise_time_slip_correlation: float = 0.8
    rise_time_spread: float = 2.5
    time_perturbation_intercept_s: float = 0.0
    time_perturbation_slope: float = 5e-10
    time_perturbation_slip_correlation: float = 0.8
    rake_std_deg: float = 15.0
    rake_max_deviation_deg: float = 30.0
    hypocentre_distribution: str | None = None
    junction_delay_s: float = 0.0
    velocity_model: VelocityModel = field(default_factory=GenericCrust)

    def __post_init__(self) -> None:
        def set_(name: str, value: object) -> None:
            object.__setattr__(self, name, value)

        set_("magnitude", scaling.checked_magnitude(self.magnitude))
        set_("seed", checks.whole("seed", self.seed, 0, checks.UINT64_MAX, "a seed"))
        if self.hypocentre_km is not None:
            set_("hypocentre_km", checks.pair("hypocentre_km", self.hypocentre_km))
        for concept in (SlipSettings, ShallowZone, RuptureSpeed, RiseTime, TimePerturbation,
                        Rake):
            for name, value in concept.of(self).flat().items():
                set_(name, value)
        set_("dt_s", checks.at_most("dt_s", checks.positive("dt_s", self.dt_s, "seconds"),
                                    MAX_DT_S, "s: a slip rate sampled less often gives no "
                                    "earthquake's pulse more than a sample or two"))
        set_("beta", checks.within("beta", self.beta, 0.0, 0.5, "a rising fraction",
                                   low_open=True))
        if self.hypocentre_distribution not in (None, *DISTRIBUTIONS):
            raise SettingError("hypocentre_distribution", self.hypocentre_distribution,
                               f"must be one of {', '.join(DISTRIBUTIONS)}, or none")
        if self.hypocentre_distribution is not None and self.hypocentre_km is not None:
            raise SettingError("hypocentre_distribution", self.hypocentre_distribution,
                               "draws the hypocentre; give it or a hypocentre, not both")
        set_("junction_delay_s", checks.within("junction_delay_s", self.junction_delay_s, 0.0,
                                               LONGEST_JUNCTION_DELAY_S, "a delay in seconds"))
        if not isinstance(self.velocity_model, (GenericCrust, LayeredModel)):
            raise SettingError("velocity_model", self.velocity_model,
                               "must be a GenericCrust or a LayeredModel")

    def correlation_lengths_km(self) -> tuple[float, float]:
        """The slip field's correlation lengths.

        Returns
        -------
        tuple of float
            (along strike, down dip), km: `correlation_km`, or Mai and Beroza's (2002) for
            the magnitude (`scaling.correlation_lengths_km`).
        """
        return self.correlation_km or scaling.correlation_lengths_km(self.magnitude)

    def slip_log_std(self) -> float:
        """The standard deviation of log slip of a lognormal with `slip_cov`.

        Returns
        -------
        float
            sqrt(log(1 + slip_cov^2)) (`SlipSettings.log_std`).
        """
        return self.slip.log_std

    @property
    def slip(self) -> SlipSettings:
        """`hurst`, `correlation_km` and `slip_cov` as one object."""
        return SlipSettings.of(self)

    @property
    def shallow_zone(self) -> ShallowZone:
        """`shallow_depth_km` and `shallow_transition_km` as one object."""
        return ShallowZone.of(self)

    @property
    def rupture_speed(self) -> RuptureSpeed:
        """The `rupture_velocity_*` settings and `shallow_rupture_velocity_factor` as one
        object."""
        return RuptureSpeed.of(self)

    @property
    def rise_time(self) -> RiseTime:
        """The `rise_time_*` settings and `shallow_rise_time_factor` as one object."""
        return RiseTime.of(self)

    @property
    def time_perturbation(self) -> TimePerturbation:
        """The `time_perturbation_*` settings as one object."""
        return TimePerturbation.of(self)

    @property
    def rake(self) -> Rake:
        """`rake_std_deg` and `rake_max_deviation_deg` as one object."""
        return Rake.of(self)

    def settings(self) -> dict[str, object]:
        """The settings as plain values, as a settings file holds them.

        Returns
        -------
        dict of str to object
            Every setting by its name; pairs as lists, the crust as its own settings.
        """
        values: dict[str, object] = {}
        for item in fields(self):
            value = getattr(self, item.name)
            if item.name == "velocity_model":
                value = value.settings()
            elif isinstance(value, tuple):
                value = list(value)
            values[item.name] = value
        return values


@dataclass(frozen=True, eq=False)
class Rupture:
    """One kinematic rupture, as `build_rupture` makes it.

    Per-subfault arrays are flat, in subfault order (plane by plane, along strike
    fastest, top row first); `grid` gives any of them on one plane with its
    coordinates, `moment_rate` the moment rate with its time axis, `to_xarray` all of
    them, and `write_srf` writes the rupture's SRF file.

    Attributes
    ----------
    fault : Fault
        The fault.
    settings : RuptureSettings
        Its settings.
    slip_m : numpy.ndarray
        Slip, m.
    rake_deg : numpy.ndarray
        Rake, degrees.
    rupture_time_s : numpy.ndarray
        The subfault's rupture time, s: `front_time_s` perturbed.
    front_time_s : numpy.ndarray
        When the rupture front reaches the subfault's centre, s.
    start_time_s : numpy.ndarray
        When its slip starts (the SRF's TINIT), s: its pulse is smoothed over the time
        the front takes to cross its cell, centred on the rupture time.
    rise_time_s : numpy.ndarray
        The rise time of its pulse before that smoothing, s.
    written_rise_time_s : numpy.ndarray
        How long it slips as written, s: from its first non-zero sample to the end of
        its last, the smoothing included (``grid("rise_time_s")``).
    rupture_velocity_km_s : numpy.ndarray
        Rupture speed, km/s.
    offsets, samples : numpy.ndarray
        The slip-rate pulses as CSR rows, one per subfault: ``samples[offsets[k] + m]``
        is subfault k's slip rate (m/s) at ``start_time_s[k] + m * dt_s``.
    depth_km, vs_km_s, density_g_cm3, rigidity_pa : numpy.ndarray
        Depth (km), shear-wave speed (km/s), density (g/cm^3) and rigidity (Pa).
    moment_nm, mw : float
        The moment, N m, and its moment magnitude.
    moment_rate_nm_s : numpy.ndarray
        The moment rate, N m/s, at n `dt_s` from the rupture's start.
    duration_s : float
        When the last subfault stops slipping, s.
    hypocentre_km : tuple of float
        (km along strike from the fault's first end, km down dip from the top edge).
    hypocentre_cell : tuple of int
        (plane, row, column) of the cell that holds it.
    correlation_km : tuple of float
        The slip field's correlation lengths along strike and down dip, km.
    time_perturbation_s : float
        The rupture-time perturbation per unit of its field, s (bounded so that the front
        does not outrun the shear-wave speed).
    reference_spacing_km : float
        The spacing of the reference grid the random fields are drawn on, km.
    embedding_shapes, clipped_fraction, clipped_variance
        The random fields' circulant embeddings: each chart's padded grid, and the
        largest fraction of eigenvalues (and of the variance) clipped.
    timings_s : dict of str to float
        The seconds spent in each of the compiled kernels.
    """

    fault: Fault
    settings: RuptureSettings
    slip_m: FloatArray
    rake_deg: FloatArray
    rupture_time_s: FloatArray
    front_time_s: FloatArray
    start_time_s: FloatArray
    rise_time_s: FloatArray
    written_rise_time_s: FloatArray
    rupture_velocity_km_s: FloatArray
    offsets: npt.NDArray[np.int64]
    samples: FloatArray
    depth_km: FloatArray
    vs_km_s: FloatArray
    density_g_cm3: FloatArray
    rigidity_pa: FloatArray
    moment_nm: float
    mw: float
    moment_rate_nm_s: FloatArray
    duration_s: float
    hypocentre_km: tuple[float, float]
    hypocentre_cell: tuple[int, int, int]
    correlation_km: tuple[float, float]
    time_perturbation_s: float
    reference_spacing_km: float
    embedding_shapes: list[tuple[int, int]]
    clipped_fraction: float
    clipped_variance: float
    timings_s: dict[str, float]

    @property
    def dt_s(self) -> float:
        """The slip-rate samples' interval, s (the settings' `dt_s`)."""
        return self.settings.dt_s

    def __repr__(self) -> str:
        fault = self.fault
        planes = len(fault.planes)
        return (f"Rupture(Mw {self.mw:.2f} on {planes} plane{'' if planes == 1 else 's'}, "
                f"{fault.length_km:g} km along strike, {fault.subfault_count:,} subfaults of "
                f"{fault.cell_km:g} km; seed {self.settings.seed}, hypocentre "
                f"({self.hypocentre_km[0]:.4g}, {self.hypocentre_km[1]:.4g}) km, duration "
                f"{self.duration_s:.4g} s)")

    def quantities(self) -> list[str]:
        """The names `grid` takes (see `kinematic_rupture.grids.QUANTITIES`).

        Returns
        -------
        list of str
            The quantities of a built rupture.
        """
        from . import grids
        return grids.names(srf=False)

    def grid(self, name: str, plane: int = 0) -> "Grid":
        """A quantity on the cells of one plane.

        Parameters
        ----------
        name : str
            One of `quantities()`: ``"slip_m"`` (m), ``"rake_deg"``, ``"rupture_time_s"``,
            ``"front_time_s"``, ``"start_time_s"`` (s), ``"rise_time_s"`` (s, measured
            from the samples, as an SRF file's is), ``"pulse_rise_time_s"`` (s, the
            attribute `rise_time_s`: the pulse's before smoothing),
            ``"rupture_velocity_km_s"``, ``"vs_km_s"``, ``"density_g_cm3"``,
            ``"rigidity_pa"``, ``"depth_km"``, ``"lon"``, ``"lat"``, ``"strike_deg"``,
            ``"dip_deg"``.
        plane : int
            The plane, from 0, in the fault's order.

        Returns
        -------
        Grid
            Values (rows down dip, columns along strike; read-only) with their
            coordinates in km and their unit.

        Raises
        ------
        SettingError
            An unknown name (the message lists the valid ones) or plane.

        Examples
        --------
        >>> from kinematic_rupture import Fault, RuptureSettings, build_rupture
        >>> rupture = build_rupture(Fault.single(length_km=6, width_km=4, cell_km=0.5),
        ...                         RuptureSettings(magnitude=5.5))
        >>> rupture.grid("rupture_time_s").values.shape
        (8, 12)
        """
        from . import grids
        checked = grids.checked(name, self.quantities(), "a rupture")
        return grids.grid(grids.fault_layouts(self.fault), checked, plane,
                          lambda which: grids.rupture_values(self, which))

    def moment_rate(self) -> "MomentRate":
        """The moment-rate function with its time axis.

        Returns
        -------
        MomentRate
            ``moment_rate_nm_s`` (N m/s) at ``time_s`` = n `dt_s` from the rupture's start.
        """
        from .grids import MomentRate
        return MomentRate(self.dt_s, self.moment_rate_nm_s)

    def to_xarray(self) -> Any:
        """Every quantity of `quantities()` on every plane, and the moment rate, as an
        xarray Dataset.

        Returns
        -------
        xarray.Dataset
            Variables on dimensions ``(plane, down_dip, along_strike)``, with index
            coordinates in km (cell centres from each plane's first end and top edge:
            the cells of every plane of a fault are of one size), ``start_km`` (where each
            plane starts along the fault), ``depth_km`` (plane, down_dip) and ``lon``,
            ``lat``; planes of fewer cells than the largest are NaN beyond their own.
            ``moment_rate_nm_s`` on ``time`` (s). Units in each variable's ``attrs``;
            the magnitude, moment, duration, hypocentre and seed in the Dataset's.

        Raises
        ------
        ImportError
            Without xarray (``pip install xarray``).
        """
        from . import grids
        from ._version import __version__
        attrs = {"source": f"kinematic-rupture {__version__}", "seed": np.uint64(self.settings.seed),
                 "moment_nm": self.moment_nm, "mw": self.mw, "duration_s": self.duration_s,
                 "hypocentre_along_strike_km": self.hypocentre_km[0],
                 "hypocentre_down_dip_km": self.hypocentre_km[1], "cell_km": self.fault.cell_km}
        return grids.dataset(grids.fault_layouts(self.fault), self.quantities(),
                             lambda which: grids.rupture_values(self, which),
                             self.moment_rate(), attrs)

    def write_srf(self, destination: "str | os.PathLike[str] | IO[bytes] | IO[str]",
                  version: str = "2.0", blocks: str = "per-plane",
                  comments: Sequence[str] | None = None) -> None:
        """Writes the rupture as a Standard Rupture Format file.

        Parameters
        ----------
        destination : path or binary stream
            A path (written under a temporary name and renamed into place once
            complete, so the file is whole or absent), or a binary stream, which gets
            the file's ASCII bytes as they are made. A text stream gets the text in its
            own encoding and newlines.
        version : {"2.0", "1.0"}
            The SRF version; 1.0 leaves out VS and DEN (for readers such as instaseis).
        blocks : {"per-plane", "one"}
            One POINTS block a plane, or one for all planes in plane order, for readers
            that read only the first (SW4, instaseis).
        comments : sequence of str, optional
            The comment lines after the version line, each one line of ASCII; by
            default those `kinematic-rupture run` writes (the package's version, the
            seed and the settings), so that the file is the command's, byte for byte.

        Raises
        ------
        SettingError
            An unknown version or blocks, or a comment that is not one line of ASCII.
        OSError
            A path that cannot be written (nothing is left there).

        Examples
        --------
        >>> import io
        >>> from kinematic_rupture import Fault, RuptureSettings, build_rupture
        >>> rupture = build_rupture(Fault.single(length_km=6, width_km=4, cell_km=0.5),
        ...                         RuptureSettings(magnitude=5.5))
        >>> stream = io.BytesIO()
        >>> rupture.write_srf(stream, version="1.0")
        >>> stream.getvalue().splitlines()[0]
        b'1.0'
        """
        from .provenance import provenance
        from .srf import write_srf
        write_srf(destination, self, version, provenance(self) if comments is None else comments,
                  blocks=blocks)


# ---- Checks before any work -------------------------------------------------------------


def mean_rigidity_pa(fault: Fault, model: VelocityModel) -> float:
    """The fault's rigidity averaged over its area, row by row (cheap on any fault)."""
    total = 0.0
    for number in range(len(fault.planes)):
        depth = fault.row_depths_km(number)
        rows = rigidity_pa(model.shear_speed_km_s(depth), model.density_g_cm3(depth))
        total += float(rows.sum()) * fault.cells(number)[1]
    return total / fault.subfault_count


def min_shear_speed_km_s(fault: Fault, settings: RuptureSettings) -> float:
    """The slowest shear-wave speed on the fault, row by row."""
    model = settings.velocity_model
    return min(float(model.shear_speed_km_s(fault.row_depths_km(number)).min())
               for number in range(len(fault.planes)))


def check_magnitude(fault: Fault, settings: RuptureSettings) -> None:
    """Refuses a magnitude the fault cannot carry, or so small that nothing would slip."""
    area_m2 = fault.subfault_count * fault.cell_area_m2
    rigidity = mean_rigidity_pa(fault, settings.velocity_model)
    moment = scaling.moment_nm(settings.magnitude)
    width_m = 1e3 * min(min(plane.width_km for plane in fault.planes), fault.length_km)
    stress = scaling.stress_drop_pa(moment, area_m2, rigidity, width_m)
    if not stress <= scaling.MAX_STRESS_DROP_PA:
        largest = largest_magnitude(area_m2=area_m2, rigidity_pa=rigidity, width_m=width_m)
        raise SettingError("magnitude", settings.magnitude,
                           f"a fault of {area_m2 / 1e6:.4g} km^2 carries at most Mw {largest:.2f}: "
                           f"more would need a stress drop above "
                           f"{scaling.MAX_STRESS_DROP_PA / 1e6:g} MPa, more than crustal rock holds")
    mean_slip = moment / (rigidity * area_m2)
    if mean_slip < scaling.MIN_MEAN_SLIP_M:
        smallest = scaling.moment_magnitude(scaling.MIN_MEAN_SLIP_M * rigidity * area_m2)
        raise SettingError("magnitude", settings.magnitude,
                           f"a fault of {area_m2 / 1e6:.4g} km^2 needs at least Mw {smallest:.2f} "
                           f"for a mean slip of {scaling.MIN_MEAN_SLIP_M * 1e3:g} mm")


def largest_magnitude(*, area_m2: float, rigidity_pa: float, width_m: float) -> float:
    """The largest moment magnitude a fault of `area_m2` and `width_m` can carry with
    rigidity `rigidity_pa` (Pa) at the largest stress drop crustal rock holds."""
    slip = scaling.MAX_STRESS_DROP_PA * math.pi * width_m / (2.0 * rigidity_pa)
    return scaling.moment_magnitude(slip * rigidity_pa * area_m2)


def scaling_warnings(fault: Fault, settings: RuptureSettings) -> list[str]:
    """Warnings for a magnitude far from Leonard's (2010) magnitude-area scaling."""
    area_km2 = fault.subfault_count * fault.cell_km**2
    strike_slip = scaling.is_strike_slip(fault.planes[0].rake_deg)
    expected = scaling.leonard_magnitude(area_km2, strike_slip)
    if abs(settings.magnitude - expected) <= scaling.LEONARD_WARNING_UNITS:
        return []
    kind = "strike-slip" if strike_slip else "dip-slip"
    area = scaling.leonard_area_km2(settings.magnitude, strike_slip)
    return [f"Mw {settings.magnitude:g} on a {area_km2:.4g} km^2 fault is "
            f"{abs(settings.magnitude - expected):.1f} magnitude units from Leonard's (2010) "
            f"{kind} scaling, which gives that area Mw {expected:.2f} and Mw "
            f"{settings.magnitude:g} an area of {area:.3g} km^2; its mean slip will be "
            f"{'large' if settings.magnitude > expected else 'small'} for its size"]


def memory_need(fault: Fault, settings: RuptureSettings) -> memory.MemoryNeed:
    """What building this rupture takes at its peak."""
    slowest = settings.rupture_velocity_min_fraction * min_shear_speed_km_s(fault, settings)
    widest = max(plane.width_km for plane in fault.planes)
    grid = reference_grid(extent_km=(widest, fault.length_km),
                          correlation_km=settings.correlation_lengths_km())
    padded = [math.prod(largest_padding(grid.shape))]
    if fault.cell_km < grid.spacing_km * (1.0 - 1e-9):  # the charts draw detail of their own
        padded += [math.prod(largest_padding(chart.shape)) for chart in fault_charts(fault)]
    need = memory.estimate(fault.subfault_count, padded,
                           mean_rise_time_s(fault, settings), settings.dt_s,
                           fault.cell_km / (slowest * settings.dt_s))
    refinement = front_refinement(fault)
    if refinement == 1:
        return need
    front = fault.subfault_count * refinement ** 2 * FRONT_BYTES_PER_NODE
    return replace(need, subfault_bytes=need.subfault_bytes + front)


def check_memory(fault: Fault, settings: RuptureSettings) -> None:
    """Refuses a build that needs more memory than the machine has available, naming the
    setting that drives the need."""
    need = memory_need(fault, settings)
    available = memory.available_bytes()
    if need.total <= available:
        return
    amounts = f"{memory.gibibytes(need.total)} and {memory.gibibytes(available)} is available"
    if need.sample_bytes >= need.subfault_bytes + need.embedding_bytes:
        raise SettingError("dt_s", settings.dt_s,
                           f"the slip-rate samples at this interval need {amounts}; a larger dt needs fewer")
    raise SettingError("cell_km", fault.cell_km,
                       f"{fault.subfault_count:,} subfaults need {amounts}; larger cells need fewer")


def gap_warnings(fault: Fault) -> list[str]:
    """Warnings for gaps between planes wider than ruptures are known to jump."""
    charts = fault_charts(fault)
    lines = []
    for before, after, junction in zip(charts, charts[1:], chart_junctions(fault, charts)):
        if junction.gap_km > WIDEST_JUMP_KM:
            lines.append(f"the nearest cells of planes {before.planes[-1] + 1} and "
                         f"{after.planes[0] + 1} are {junction.gap_km:.3g} km apart: the rupture jumps the gap at its rupture "
                         f"speed (junction_delay_s adds a delay), though no historical rupture "
                         f"is known to have jumped a step wider than about {WIDEST_JUMP_KM:g} km "
                         f"(Wesnousky 2006)")
    return lines


def check_rupture(fault: Fault, settings: RuptureSettings) -> tuple[float, float] | None:
    """Every check of a build before any work; returns the hypocentre, or None when it is
    to be drawn from the slip (`hypocentre_distribution`)."""
    hypocentre = settings.hypocentre_km
    if hypocentre is None and settings.hypocentre_distribution is None:
        hypocentre = default_hypocentre(fault)
    if hypocentre is not None:
        check_hypocentre(fault, hypocentre)
    check_magnitude(fault, settings)
    check_memory(fault, settings)
    return hypocentre


def build_warnings(fault: Fault, settings: RuptureSettings) -> list[str]:
    """What is possible but far from published scaling, for the user to know; refuses
    first what is not possible at all."""
    check_rupture(fault, settings)
    return scaling_warnings(fault, settings) + gap_warnings(fault)


def rise_time_warnings(rupture: "Rupture") -> list[str]:
    """Warnings for rise times the samples or the cells cannot carry as asked."""
    slipping = rupture.written_rise_time_s[rupture.slip_m > 0]
    if not slipping.size:
        return []
    warnings = []
    shortest = float(slipping.min())
    if shortest < SAMPLES_PER_RISE_TIME * rupture.dt_s:
        warnings.append(f"dt {checks.quote(rupture.dt_s)} s gives the shortest rise time "
                        f"({shortest:.3g} s) {shortest / rupture.dt_s:.1f} samples; "
                        f"{shortest / SAMPLES_PER_RISE_TIME:.2g} s or less would give it "
                        f"{SAMPLES_PER_RISE_TIME}")
    asked = mean_rise_time_s(rupture.fault, rupture.settings)
    mean = float(slipping.mean())
    if mean > (1.0 + RISE_TIME_EXCESS) * asked:
        warnings.append(f"{checks.quote(rupture.fault.cell_km)} km cells take the front longer to "
                        f"cross than the rise times allow: they average {mean:.3g} s where "
                        f"{asked:.3g} s was asked; finer cells keep them as asked")
    return warnings


# ---- The rupture --------------------------------------------------------------------------


def ramp(count: int, *, taper_cells: float, near: bool, far: bool) -> FloatArray:
    """A cosine taper over `taper_cells` at the near end, the far end, both or neither."""
    centre = np.arange(count) + 0.5
    weight = np.ones(count)
    for distance, tapered in ((centre, near), (count - centre, far)):
        if tapered:
            inside = distance < taper_cells
            weight[inside] *= 0.5 - 0.5 * np.cos(np.pi * distance[inside] / taper_cells)
    return weight


def edge_taper(fault: Fault, chart: Chart, *, first: bool, last: bool) -> FloatArray:
    """The slip taper on a chart: towards the fault's ends (a chart's first and last
    column where they are the fault's), the bottom, and the top unless it reaches the
    surface, each over TAPER_FRACTION of the chart's width or of the fault's length."""
    rows, columns = chart.shape
    fault_columns = round(fault.length_km / fault.cell_km)
    top = fault.planes[chart.planes[0]].top_depth_km > 0
    down = ramp(rows, taper_cells=TAPER_FRACTION * rows, near=top, far=True)
    along = ramp(columns, taper_cells=TAPER_FRACTION * fault_columns, near=first, far=last)
    return down[:, None] * along[None, :]


def scaled_slip(shape: FloatArray, rigidity: FloatArray, *, cell_area_m2: float,
                moment_nm: float) -> FloatArray:
    """`shape` scaled to the moment `moment_nm` (N m) with `rigidity` (Pa) on cells of
    `cell_area_m2`, with slip the pulses would drop set to exactly zero.

    Zeroing loses moment, so the slip is scaled again; that scale is at least 1 and
    brings nothing back under the threshold.
    """
    slip = shape * (moment_nm / (cell_area_m2 * (rigidity * shape).sum()))
    slip[slip <= SLIP_THRESHOLD_M] = 0.0
    return slip * (moment_nm / (cell_area_m2 * (rigidity * slip).sum()))


def mean_rise_time_s(fault: Fault, settings: RuptureSettings) -> float:
    """The average rise time of the target moment, with the planes' mechanism factors
    averaged over their areas."""
    areas = [plane.length_km * plane.width_km for plane in fault.planes]
    alpha = sum(area * kinematics.mechanism_factor(dip_deg=plane.dip_deg,
                                                   rake_deg=plane.rake_deg)
                for area, plane in zip(areas, fault.planes)) / sum(areas)
    return kinematics.mean_rise_time_s(moment_nm=scaling.moment_nm(settings.magnitude),
                                       rise_time=settings.rise_time, alpha=alpha)


@dataclass(frozen=True, eq=False)
class Fields:
    """The unit-variance Gaussian fields of one rupture, flat in subfault order (see
    `random_fields`): the slip's own, base and detail, and the same averaged over the
    smoothing scale, which the rupture speed and time perturbation follow; independent
    fields for rupture speed and rupture time (base only, averaged over the smoothing
    scale, so that the front's speed does not depend on the cells), and for rise time and
    rake (base and detail)."""

    slip: FloatArray
    slip_smooth: FloatArray
    speed: FloatArray
    rise: FloatArray
    time: FloatArray
    rake: FloatArray


# The fields drawn on the reference grid, and those with detail on the cells, in order.
BASE_FIELDS = ("slip", "speed", "rise", "time", "rake")
DETAIL_FIELDS = ("slip", "rise", "rake")

# The rupture front is solved on cells no larger than this, whatever the fault's cells,
# and read at their centres. The eikonal solution's error grows with its cells (first
# order): solved on 0.5 km cells, one seed's front ran up to half such a cell's travel
# time off the one solved on 0.1 km cells, about a radian of phase at 1 Hz, and the two
# ruptures' spectra up to a factor 1.7 apart at 1 Hz. 0.1 km is the default cells'.
# The fault's cells coarser than these carry their fine cells' mean slip.
FRONT_CELL_KM = 0.1
# The most cells the finer front may take; a fault that would need more has its front
# solved on coarser cells.
MOST_FRONT_NODES = 2_000_000
# What each of them holds at the peak: the crust, base fields, slip shape, speeds,
# slownesses and times of the finer cells, the solver's own, and the perturbation's
# shift and steepness.
FRONT_BYTES_PER_NODE = 224


def smooth_on_chart(reference: ReferenceFields, chart: Chart, *, cell_km: float,
                    along_km: float, correlation_km: tuple[float, float],
                    names: tuple[str, ...] = ("slip", "speed", "time")) -> dict[str, FloatArray]:
    """The fields the front follows on a chart's cells, averaged over the smoothing scale
    (or the cells, if larger): of `names`, the slip's (as "slip_smooth"), the rupture
    speed's and the rupture time's."""
    values = base_on_chart(reference, chart, cell_km=cell_km, along_km=along_km,
                           window_km=max(cell_km, smoothing_km(correlation_km)),
                           fields=[BASE_FIELDS.index(name) for name in names])
    return {("slip_smooth" if name == "slip" else name): field
            for name, field in zip(names, values)}


def draw_all(fault: Fault, charts: list[Chart], settings: RuptureSettings,
             timings: dict[str, float]) -> tuple[Fields, list[Embedding], ReferenceFields]:
    """Every field on every chart, from seeds fixed by the rupture's and the chart's
    number; the embeddings they came from; and the reference grid's fields."""
    correlation = settings.correlation_lengths_km()
    widest = max(plane.width_km for plane in fault.planes)
    reference = draw_reference(extent_km=(widest, fault.length_km), correlation_km=correlation,
                               hurst=settings.hurst, seed=settings.seed,
                               count=len(BASE_FIELDS), timings=timings)
    base = {name: np.empty(fault.subfault_count) for name in (*BASE_FIELDS, "slip_smooth")}
    detail = {name: np.zeros(fault.subfault_count) for name in DETAIL_FIELDS}
    embeddings = [reference.embedding]
    for number, chart in enumerate(charts):
        along = sum(plane.length_km for plane in fault.planes[:chart.planes[0]])
        for name, values in smooth_on_chart(reference, chart, cell_km=fault.cell_km,
                                            along_km=along, correlation_km=correlation).items():
            chart.scatter(values, base[name])
        for name, values in zip(DETAIL_FIELDS, base_on_chart(
                reference, chart, cell_km=fault.cell_km, along_km=along,
                fields=[BASE_FIELDS.index(n) for n in DETAIL_FIELDS])):
            chart.scatter(values, base[name])
        drawn = detail_on_chart(chart, number, cell_km=fault.cell_km, correlation_km=correlation,
                                hurst=settings.hurst, spacing_km=reference.grid.spacing_km,
                                seed=settings.seed, count=len(DETAIL_FIELDS), timings=timings)
        if drawn is not None:
            embeddings.append(drawn[1])
            for name, values in zip(DETAIL_FIELDS, drawn[0]):
                chart.scatter(values, detail[name])
    return Fields(slip=base["slip"] + detail["slip"], slip_smooth=base["slip_smooth"],
                  speed=base["speed"],
                  rise=base["rise"] + detail["rise"], time=base["time"],
                  rake=base["rake"] + detail["rake"]), embeddings, reference


def slip_shape(fault: Fault, charts: list[Chart], slip_field: FloatArray, *,
               log_std: float) -> FloatArray:
    """exp(log_std z), tapered towards the fault's edges: the slip before scaling."""
    shape = np.exp(log_std * slip_field)
    for number, chart in enumerate(charts):
        taper = edge_taper(fault, chart, first=number == 0, last=number == len(charts) - 1)
        chart.scatter(chart.gather(shape) * taper, shape)
    return shape


def fine_cells_per_side(cell_km: float) -> int:
    """How many of the front's fine cells span a cell's side: the fewest, and odd, that
    make them no larger than `FRONT_CELL_KM` (before `front_refinement` bounds their
    count)."""
    count = max(1, math.ceil(cell_km / FRONT_CELL_KM - 1e-9))
    return count + 1 - count % 2


def front_refinement(fault: Fault) -> int:
    """How many front cells span a cell's side: odd, so that a front cell is centred on
    every cell's centre; as many as make them no larger than `FRONT_CELL_KM`, fewer if the
    front would take more than `MOST_FRONT_NODES`."""
    refinement = fine_cells_per_side(fault.cell_km)
    while refinement > 1 and fault.subfault_count * refinement ** 2 > MOST_FRONT_NODES:
        refinement -= 2
    return refinement


@dataclass(frozen=True, eq=False)
class FrontGrid:
    """The cells the front is solved on: `front_refinement` times finer than the fault's
    (the fault's own where they are already no larger than `FRONT_CELL_KM`), and what is
    read there: the slip's shape, for the hypocentre's draw and the fault's cells' mean
    slip, and the smoothed slip, time perturbation field, shear-wave and rupture speeds,
    for the front and the bound on its perturbation. Fine cells of about 0.1 km whatever
    the fault's, so that a seed draws the same slip, hypocentre, front and perturbation on
    cells of any size."""

    fault: Fault
    charts: list[Chart]
    refinement: int
    slip_shape: FloatArray
    slip_smooth: FloatArray
    time: FloatArray
    vs: FloatArray
    speed: FloatArray


def front_grid(fault: Fault, charts: list[Chart], fields_: Fields, reference: ReferenceFields,
               shape: FloatArray, speed: FloatArray, vs: FloatArray,
               settings: RuptureSettings) -> FrontGrid:
    """The `FrontGrid` of a fault: on finer cells, the base fields carried to their
    centres and the crust at their depths; on the fault's own, its fields, the slip's
    `shape`, `speed` and `vs`."""
    refinement = front_refinement(fault)
    if refinement == 1:
        return FrontGrid(fault, charts, 1, shape, fields_.slip_smooth, fields_.time, vs, speed)
    fine = Fault(planes=fault.planes, cell_km=fault.cell_km / refinement)
    fine_charts = fault_charts(fine)
    base = {name: np.empty(fine.subfault_count) for name in ("slip", "slip_smooth", "speed", "time")}
    for chart in fine_charts:
        along = sum(plane.length_km for plane in fine.planes[:chart.planes[0]])
        drawn = smooth_on_chart(reference, chart, cell_km=fine.cell_km, along_km=along,
                                correlation_km=settings.correlation_lengths_km())
        drawn["slip"] = base_on_chart(reference, chart, cell_km=fine.cell_km, along_km=along,
                                      fields=[BASE_FIELDS.index("slip")])[0]
        for name, values in base.items():
            chart.scatter(drawn[name], values)
    fraction = kinematics.rupture_velocity_fraction(
        fine.depths_km(), base["slip_smooth"], base["speed"], speed=settings.rupture_speed,
        shallow=settings.shallow_zone)
    fine_vs = crust_by_row(fine, settings.velocity_model)[0]
    fine_shape = slip_shape(fine, fine_charts, base["slip"], log_std=settings.slip_log_std())
    return FrontGrid(fine, fine_charts, refinement, fine_shape, base["slip_smooth"], base["time"],
                     fine_vs, fine_vs * fraction)


def hypocentre_cells(grid: FrontGrid, reference: ReferenceFields,
                     settings: RuptureSettings) -> tuple[Fault, FloatArray]:
    """The cells a hypocentre is drawn on, and the slip's shape there: cells of the
    reference grid's spacing, centred on its nodes, wherever the fault's planes hold whole
    such cells (the same cells, and so the same hypocentre, for a fault of any cells); the
    front's cells otherwise."""
    spacing = reference.grid.spacing_km
    if math.isclose(grid.fault.cell_km, spacing, rel_tol=1e-9):
        return grid.fault, grid.slip_shape
    try:
        nodes = Fault(planes=grid.fault.planes, cell_km=spacing)
    except SettingError:
        return grid.fault, grid.slip_shape
    if nodes.subfault_count > MOST_FRONT_NODES:
        return grid.fault, grid.slip_shape
    charts = fault_charts(nodes)
    field = np.empty(nodes.subfault_count)
    for chart in charts:
        along = sum(plane.length_km for plane in nodes.planes[:chart.planes[0]])
        chart.scatter(base_on_chart(reference, chart, cell_km=spacing, along_km=along,
                                    fields=[BASE_FIELDS.index("slip")])[0], field)
    return nodes, slip_shape(nodes, charts, field, log_std=settings.slip_log_std())


def solve_front(grid: FrontGrid, hypocentre: tuple[float, float], settings: RuptureSettings,
                timings: dict[str, float]) -> FloatArray:
    """When the front reaches each of the grid's cells, s. The solving's seconds are added
    to `timings` under ``"eikonal_solve"``."""
    start, seed, _ = start_of_rupture(grid.fault, grid.charts, hypocentre, grid.speed)
    with timing(timings, "eikonal_solve"):
        return front_times(grid.charts, chart_junctions(grid.fault, grid.charts), grid.speed,
                           grid.fault.depths_km(), grid.fault.cell_km, start, seed,
                           settings.junction_delay_s)


def on_centres(grid: FrontGrid, values: FloatArray) -> FloatArray:
    """Values on the grid's cells read at the centres of the fault's, in subfault order."""
    if grid.refinement == 1:
        return values
    centre, step = grid.refinement // 2, grid.refinement
    return np.concatenate([
        grid.fault.on_plane(values, number)[centre::step, centre::step].ravel()
        for number in range(len(grid.fault.planes))])


def on_cells(grid: FrontGrid, values: FloatArray) -> FloatArray:
    """Values on the grid's cells averaged over each of the fault's, in subfault order."""
    if grid.refinement == 1:
        return values
    step = grid.refinement
    parts = []
    for number in range(len(grid.fault.planes)):
        plane = grid.fault.on_plane(values, number)
        rows, columns = plane.shape[0] // step, plane.shape[1] // step
        parts.append(plane.reshape(rows, step, columns, step).mean(axis=(1, 3)).ravel())
    return np.concatenate(parts)


def start_of_rupture(fault: Fault, charts: list[Chart], hypocentre: tuple[float, float],
                     speed: FloatArray) -> tuple[int, Seed, tuple[int, int, int]]:
    """The chart that holds the hypocentre, the seed of the front there, and the
    hypocentre's (plane, row, column)."""
    plane, row, column = hypocentre_subfault(fault, hypocentre)
    number = next(n for n, chart in enumerate(charts) if plane in chart.planes)
    chart = charts[number]
    first = chart.planes[0]
    along_before = sum(p.length_km for p in fault.planes[:first])
    chart_column = chart.starts[chart.planes.index(plane)] + column
    seed = hypocentre_seed(chart, fault.cell_km, row, chart_column, hypocentre[0] - along_before,
                           hypocentre[1], chart.gather(speed))
    return number, seed, (plane, row, column)


def perturbation_scale(grid: FrontGrid, front: FloatArray, shift: FloatArray,
                       settings: RuptureSettings) -> float:
    """The factor on the rupture-time perturbation (Graves and Pitarka 2016) that keeps, on
    all but a hundredth of the front's cells, the perturbed times no faster than the
    shear-wave speed (or the largest speed the settings allow, when above it)."""
    limit = grid.vs * max(1.0, settings.rupture_velocity_max_fraction)
    steep = np.concatenate([kinematics.steepness(chart.gather(shift), chart.gather(front),
                                                 chart.gather(grid.speed), chart.gather(limit),
                                                 cell_km=grid.fault.cell_km).ravel()
                            for chart in grid.charts])
    return kinematics.bounded_scale(steep)


def rupture_times_s(grid: FrontGrid, front: FloatArray,
                    settings: RuptureSettings) -> tuple[FloatArray, float]:
    """The front's times made earlier where slip is large (Graves and Pitarka 2016), and
    the perturbation's amplitude: b1 M0^(1/3) times a field correlated with slip, times
    the `perturbation_scale` that bounds its speed. Computed on the front's fine cells and
    read at the fault's centres, so that a seed writes the same times on cells of any size."""
    shift, amplitude = time_shift(front, grid.slip_smooth, grid.time, settings)
    scale = perturbation_scale(grid, front, shift, settings)
    return on_centres(grid, np.maximum(front - scale * shift, 0.0)), scale * amplitude


def time_shift(front: FloatArray, slip_smooth: FloatArray, time_field: FloatArray,
               settings: RuptureSettings) -> tuple[FloatArray, float]:
    """The unscaled rupture-time perturbation at the front's cells, and its amplitude
    b0 + b1 M0^(1/3) (Graves and Pitarka 2016): the time field correlated with the
    smoothed slip."""
    perturbation = settings.time_perturbation
    amplitude = kinematics.time_perturbation_amplitude_s(
        moment_nm=scaling.moment_nm(settings.magnitude), perturbation=perturbation)
    field_ = kinematics.correlated(slip_smooth, time_field,
                                   correlation=perturbation.slip_correlation)
    return kinematics.time_shift_s(front, field_, amplitude_s=amplitude), amplitude


def crust_by_row(fault: Fault, model: VelocityModel) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Shear-wave speed, density and rigidity of every subfault, in subfault order: each
    computed once per row of cells (depth changes only down dip) and spread along strike."""
    parts = []
    for number in range(len(fault.planes)):
        depth = fault.row_depths_km(number)
        vs = model.shear_speed_km_s(depth)
        density = model.density_g_cm3(depth)
        parts.append([np.repeat(values, fault.cells(number)[1])
                      for values in (vs, density, rigidity_pa(vs, density))])
    vs_all, density_all, rigidity_all = (np.concatenate(column) for column in zip(*parts))
    return vs_all, density_all, rigidity_all


def build_rupture(fault: Fault, settings: RuptureSettings) -> Rupture:
    """The whole kinematic rupture on a fault.

    Everything is checked before any work: the hypocentre on the fault, a magnitude the
    fault can carry, and the memory the build needs against what the machine has left.

    Parameters
    ----------
    fault : Fault
        The fault.
    settings : RuptureSettings
        The magnitude, seed, hypocentre and every relation's setting.

    Returns
    -------
    Rupture
        The same for the same fault and settings, bit for bit, in any process.

    Raises
    ------
    SettingError
        What cannot be built, and why.

    Examples
    --------
    >>> from kinematic_rupture import Fault, RuptureSettings, build_rupture
    >>> fault = Fault.single(length_km=12, width_km=6, cell_km=0.5, dip_deg=60, rake_deg=90)
    >>> rupture = build_rupture(fault, RuptureSettings(magnitude=6.2, seed=7))
    >>> round(rupture.mw, 6)
    6.2
    """
    fixed = check_rupture(fault, settings)
    timings: dict[str, float] = {}
    charts = fault_charts(fault)
    depth = fault.depths_km()
    vs, density, rigidity = crust_by_row(fault, settings.velocity_model)

    fields_, embeddings, reference = draw_all(fault, charts, settings, timings)
    target = scaling.moment_nm(settings.magnitude)
    log_std = settings.slip_log_std()
    fraction = kinematics.rupture_velocity_fraction(
        depth, fields_.slip_smooth, fields_.speed, speed=settings.rupture_speed,
        shallow=settings.shallow_zone)
    speed = vs * fraction
    grid = front_grid(fault, charts, fields_, reference,
                      slip_shape(fault, charts, fields_.slip, log_std=log_std), speed, vs, settings)
    slip = scaled_slip(on_cells(grid, grid.slip_shape), rigidity,
                       cell_area_m2=fault.cell_area_m2, moment_nm=target)
    hypocentre = fixed or draw_hypocentre(
        *hypocentre_cells(grid, reference, settings), seed=settings.seed,
        distribution=settings.hypocentre_distribution or "mai2005")
    hypocentre_cell = start_of_rupture(fault, charts, hypocentre, speed)[2]
    solved = solve_front(grid, hypocentre, settings, timings)
    front = on_centres(grid, solved)
    times, amplitude = rupture_times_s(grid, solved, settings)

    widths = crossing_widths(fault.cell_km, speed, settings.dt_s)
    rise = kinematics.rise_times_s(
        slip, depth, fields_.rise, mean_s=mean_rise_time_s(fault, settings),
        rise_time=settings.rise_time, shallow=settings.shallow_zone, slip_log_std=log_std,
        widening_s=(boxcar_taps(widths) - 2) * settings.dt_s)
    beta = np.full(slip.size, settings.beta)
    with timing(timings, "synthesise_pulses"):
        offsets, samples = _kernels.synthesise_pulses(slip, rise, settings.dt_s, beta)
    starts, widths = centred_starts(times, widths, settings.dt_s)
    offsets, samples = smooth_rows(offsets, samples, widths)
    first, last = nonzero_spans(offsets, samples)
    written_rise = slip_spans_s(first, last, settings.dt_s)
    mean_rake = fault.per_plane([plane.rake_deg for plane in fault.planes])
    rake = kinematics.rake_deg(mean_rake, fields_.rake, variation=settings.rake,
                               weight=slip)

    moment = float((rigidity * slip).sum()) * fault.cell_area_m2
    rate = moment_rate(starts, offsets, samples, rigidity * fault.cell_area_m2, settings.dt_s)
    return Rupture(
        fault=fault, settings=settings, slip_m=slip, rake_deg=rake,
        rupture_time_s=times, front_time_s=front, start_time_s=starts, rise_time_s=rise,
        written_rise_time_s=written_rise,
        rupture_velocity_km_s=speed,
        offsets=offsets, samples=samples, depth_km=depth, vs_km_s=vs, density_g_cm3=density,
        rigidity_pa=rigidity, moment_nm=moment, mw=scaling.moment_magnitude(moment),
        moment_rate_nm_s=rate, duration_s=rupture_duration_s(starts, last, settings.dt_s),
        hypocentre_km=(float(hypocentre[0]), float(hypocentre[1])),
        hypocentre_cell=hypocentre_cell, correlation_km=settings.correlation_lengths_km(),
        time_perturbation_s=amplitude, reference_spacing_km=reference.grid.spacing_km,
        embedding_shapes=[embedding.padded_shape for embedding in embeddings],
        clipped_fraction=max(embedding.clipped_fraction for embedding in embeddings),
        clipped_variance=max(embedding.clipped_variance for embedding in embeddings),
        timings_s=timings)
