"""Source scaling: moment and magnitude, and the published relations between a rupture's
magnitude and its size, slip, correlation lengths and rise time.

.. autosummary::

   moment_nm
   moment_magnitude
   correlation_lengths_km
   somerville_rise_time_s
   leonard_magnitude
   leonard_area_km2
   leonard_dimensions_km
   placed_dimensions_km
   stress_drop_pa
   is_strike_slip
   mechanism_class
   checked_magnitude
"""

import math

from . import checks

__all__ = ["moment_nm", "moment_magnitude", "correlation_lengths_km", "somerville_rise_time_s",
           "leonard_magnitude", "leonard_area_km2", "leonard_dimensions_km",
           "placed_dimensions_km", "stress_drop_pa", "is_strike_slip", "mechanism_class",
           "checked_magnitude"]

# Mw = (2/3) log10 M0 - 10.7 with M0 in dyne cm (Hanks and Kanamori 1979, eq. 7), that is
# log10 M0[N m] = 1.5 Mw + 9.05.
MOMENT_MAGNITUDE_OFFSET = 9.05
DYNE_CM_PER_N_M = 1e7

# Leonard (2010): Mw = a + log10 A (A in km^2) for interplate ruptures.
LEONARD_2010_STRIKE_SLIP_A = 3.99
LEONARD_2010_DIP_SLIP_A = 4.00
# How far, in magnitude units, a fault's area may put it from Leonard's relation before
# a warning: about twice the relation's scatter (0.2 to 0.3 units).
LEONARD_WARNING_UNITS = 0.5

# Average static stress drop of a rupture of width W (the smaller of its dimensions) and
# mean slip D: 2 mu D / (pi W) (Kanamori and Anderson 1975, for a long strike-slip fault).
# Beyond this no crustal rock holds: the magnitude is impossible on that fault.
MAX_STRESS_DROP_PA = 1e9
# A mean slip below this is a rupture the slip-rate samples cannot resolve (the pulses give
# nothing to slip under 0.1 mm); refused as too small a magnitude for the fault.
MIN_MEAN_SLIP_M = 1e-3

# Moment magnitudes a rupture may have: from the micro-earthquakes recorded in mines to
# beyond the largest earthquake recorded (Mw 9.5, Chile 1960); Mw 10 would already take
# some 40 m of slip over a fault of the largest size the geometry allows.
MAGNITUDE_RANGE = (-2.0, 10.0)

# Mean rise time in s from M0 in dyne cm: 2.03e-9 M0^(1/3) (Somerville et al. 1999).
SOMERVILLE_1999_RISE_TIME_COEFFICIENT = 2.03e-9


def checked_magnitude(magnitude: object) -> float:
    """A moment magnitude, checked.

    Parameters
    ----------
    magnitude : object
        The value given.

    Returns
    -------
    float
        The magnitude, within `MAGNITUDE_RANGE` (-2 to 10).

    Raises
    ------
    SettingError
        Not a finite number in that range, named ``magnitude``.
    """
    low, high = MAGNITUDE_RANGE
    return checks.within("magnitude", magnitude, low, high, "a moment magnitude")


def moment_nm(magnitude: float) -> float:
    """The seismic moment of a moment magnitude: log10 M0 = 1.5 Mw + 9.05, M0 in N m (Hanks and
    Kanamori 1979).

    Parameters
    ----------
    magnitude : float
        The moment magnitude Mw.

    Returns
    -------
    float
        The moment, N m.

    Examples
    --------
    >>> f"{moment_nm(7.0):.4g}"
    '3.548e+19'
    """
    return float(10.0 ** (1.5 * magnitude + MOMENT_MAGNITUDE_OFFSET))


def moment_magnitude(moment: float) -> float:
    """The moment magnitude of a seismic moment (Hanks and Kanamori 1979).

    Parameters
    ----------
    moment : float
        The moment, N m.

    Returns
    -------
    float
        Mw.

    Examples
    --------
    >>> round(moment_magnitude(moment_nm(6.3)), 12)
    6.3
    """
    return (math.log10(moment) - MOMENT_MAGNITUDE_OFFSET) / 1.5


def correlation_lengths_km(magnitude: float) -> tuple[float, float]:
    """Von Kármán correlation lengths of slip for a magnitude: log10 ax = 0.5 Mw - 2.5 and
    log10 az = Mw / 3 - 1.5 (Mai and Beroza 2002).

    Parameters
    ----------
    magnitude : float
        The moment magnitude Mw.

    Returns
    -------
    tuple of float
        (along strike, down dip), km.
    """
    return 10.0 ** (0.5 * magnitude - 2.5), 10.0 ** (magnitude / 3.0 - 1.5)


def somerville_rise_time_s(moment: float) -> float:
    """The average rise time of Somerville et al. (1999): 2.03e-9 M0^(1/3) s, M0 in dyne cm.

    Parameters
    ----------
    moment : float
        The moment, N m.

    Returns
    -------
    float
        The rise time, s.
    """
    return SOMERVILLE_1999_RISE_TIME_COEFFICIENT * (moment * DYNE_CM_PER_N_M) ** (1.0 / 3.0)


def is_strike_slip(rake_deg: float) -> bool:
    """Strike-slip when the rake is within 45 degrees of horizontal (the split of Wells and
    Coppersmith 1994 as OpenQuake applies it).

    Parameters
    ----------
    rake_deg : float
        The rake, degrees, in (-180, 180].

    Returns
    -------
    bool
        Whether the mechanism is strike-slip.
    """
    return abs(rake_deg) <= 45.0 or abs(rake_deg) >= 135.0


def leonard_magnitude(area_km2: float, strike_slip: bool) -> float:
    """The magnitude Leonard (2010) gives a rupture of an area: Mw = a + log10 A, a = 3.99
    strike-slip, 4.00 dip-slip.

    Parameters
    ----------
    area_km2 : float
        The area, km^2.
    strike_slip : bool
        Strike-slip, or dip-slip.

    Returns
    -------
    float
        Mw.
    """
    a = LEONARD_2010_STRIKE_SLIP_A if strike_slip else LEONARD_2010_DIP_SLIP_A
    return a + math.log10(area_km2)


def leonard_area_km2(magnitude: float, strike_slip: bool) -> float:
    """The rupture area Leonard (2010) gives a magnitude.

    Parameters
    ----------
    magnitude : float
        Mw.
    strike_slip : bool
        Strike-slip, or dip-slip.

    Returns
    -------
    float
        The area, km^2.
    """
    a = LEONARD_2010_STRIKE_SLIP_A if strike_slip else LEONARD_2010_DIP_SLIP_A
    return 10.0 ** (magnitude - a)


def stress_drop_pa(moment: float, area_m2: float, rigidity_pa: float, width_m: float) -> float:
    """Average static stress drop 2 mu D / (pi W) of a mean slip D = M0 / (mu A) on a rupture
    whose smaller dimension is W (Kanamori and Anderson 1975).

    Parameters
    ----------
    moment : float
        The moment M0, N m.
    area_m2 : float
        The area A, m^2.
    rigidity_pa : float
        The rigidity mu, Pa.
    width_m : float
        The smaller dimension W, m.

    Returns
    -------
    float
        The stress drop, Pa.
    """
    mean_slip = moment / (rigidity_pa * area_m2)
    return 2.0 * rigidity_pa * mean_slip / (math.pi * width_m)


# Leonard (2010): rupture length from magnitude, Mw = a + b log10 L (L in km). Strike-slip:
# 4.17 + 1.667 log L up to 45 km, then 5.27 + log L, the width having saturated; dip-slip:
# 4.00 + 2 log L up to 5.4 km, then 4.24 + 1.667 log L.
LEONARD_2010_STRIKE_SLIP_LENGTH = ((4.17, 1.667, 45.0), (5.27, 1.0, math.inf))
LEONARD_2010_DIP_SLIP_LENGTH = ((4.00, 2.0, 5.4), (4.24, 1.667, math.inf))


def leonard_dimensions_km(magnitude: float, strike_slip: bool) -> tuple[float, float]:
    """The length and width of a rupture by Leonard (2010): the length from his
    magnitude-length relation, the width the rest of his magnitude-area relation's area.

    Parameters
    ----------
    magnitude : float
        Mw.
    strike_slip : bool
        Strike-slip, or dip-slip.

    Returns
    -------
    tuple of float
        (length, width), km.
    """
    branches = LEONARD_2010_STRIKE_SLIP_LENGTH if strike_slip else LEONARD_2010_DIP_SLIP_LENGTH
    for a, b, longest in branches:
        length = 10.0 ** ((magnitude - a) / b)
        if length <= longest:
            break
    return length, leonard_area_km2(magnitude, strike_slip) / length


# A fault known only by its magnitude is placed where such earthquakes happen (Kaklamanos
# et al. 2011, Earthquake Spectra 27(4), 1219-1235, after Scherbaum et al. 2004): the
# hypocentre at Zhyp = a + b Mw km by mechanism, 60% of the way down the fault, so the top
# edge at Ztor = max(Zhyp - 0.6 W sin(dip), 0); the width no more than reaches the base
# of the seismogenic crust, the length then what keeps the area.
KAKLAMANOS_2011_HYPOCENTRE_DEPTH = {"strike-slip": (5.63, 0.68), "reverse": (11.24, -0.2),
                                    "normal": (7.08, 0.61)}
KAKLAMANOS_2011_HYPOCENTRE_FRACTION = 0.6
# The base of the seismogenic crust (km): deep enough for Leonard's (2010) saturated
# strike-slip width (17.5 to 19 km) from the surface. A chosen value; Kaklamanos et al.
# leave it to the user (15 km is common for California).
SEISMOGENIC_DEPTH_KM = 20.0


def mechanism_class(rake_deg: float) -> str:
    """The mechanism class of Kaklamanos et al. (2011), split as `is_strike_slip` does.

    Parameters
    ----------
    rake_deg : float
        The rake, degrees.

    Returns
    -------
    str
        "strike-slip", "reverse" or "normal".
    """
    if is_strike_slip(rake_deg):
        return "strike-slip"
    return "reverse" if rake_deg > 0 else "normal"


def placed_dimensions_km(magnitude: float, rake_deg: float,
                         dip_deg: float) -> tuple[float, float, float]:
    """The size and place of a rupture known only by its magnitude: Leonard's (2010) area and
    width, placed by Kaklamanos et al. (2011) (its hypocentre at their depth for the
    mechanism, 60% of the way down) and held within the seismogenic crust
    (`SEISMOGENIC_DEPTH_KM`).

    Parameters
    ----------
    magnitude : float
        Mw.
    rake_deg : float
        The rake, degrees.
    dip_deg : float
        The dip, degrees.

    Returns
    -------
    tuple of float
        (length, width, depth of the top edge), km.

    Examples
    --------
    >>> length, width, top = placed_dimensions_km(7.0, rake_deg=180.0, dip_deg=90.0)
    >>> round(length), round(width, 1), top
    (54, 19.1, 0.0)
    """
    strike_slip = is_strike_slip(rake_deg)
    length, width = leonard_dimensions_km(magnitude, strike_slip)
    area = length * width
    sine = math.sin(math.radians(dip_deg))
    a, b = KAKLAMANOS_2011_HYPOCENTRE_DEPTH[mechanism_class(rake_deg)]
    hypocentre = a + b * magnitude
    width = min(width, SEISMOGENIC_DEPTH_KM / sine)
    top = max(hypocentre - KAKLAMANOS_2011_HYPOCENTRE_FRACTION * width * sine, 0.0)
    top = min(top, SEISMOGENIC_DEPTH_KM - width * sine)
    return area / width, width, top
