"""The crust the fault sits in: shear-wave speed, density and rigidity with depth.

Two models: the built-in `GenericCrust`, a smooth generic continental profile (the
default), and a `LayeredModel` of flat layers read from a plain-text file.

The layered file lists one layer per line, from the surface down, as four numbers: the
depth of the layer's top (km), its P-wave speed (km/s), its S-wave speed (km/s) and its
density (g/cm^3). The first layer's top is at 0 km, tops increase strictly, and the last
layer goes on to any depth. Blank lines and everything after a '#' are ignored:

    # top_km  vp_km_s  vs_km_s  density_g_cm3
    0.0       1.80     0.50     2.00
    0.5       3.20     1.80     2.30
    3.0       5.80     3.30     2.70
    20.0      6.70     3.80     2.90

Every line may instead hold six numbers, the last two the quality factors Qp and Qs of
the layer's anelastic attenuation (at least MIN_QUALITY_FACTOR). Without them the
Green's functions take Qs = 50 Vs (Vs in km/s) and Qp = 2 Qs, the rule of Olsen, Day and
Bradley (2003, BSSA 93(2), 758-768) that the SCEC Broadband Platform's western-US
models follow.

Crusts shipped with the package (`SHIPPED_CRUSTS`, files in crusts/) load by name:
`LayeredModel.named("mojave")`, or `--velocity-model mojave` where no file of that name
exists.
"""

import math
import os
from dataclasses import dataclass
from importlib import resources
from typing import Any

import numpy as np
import numpy.typing as npt

from .checks import SettingError, input_text

__all__ = ["GenericCrust", "LayeredModel", "rigidity_pa"]

FloatArray = npt.NDArray[np.float64]

# The generic crust: shear-wave speed rising smoothly from the surface value towards the
# deep one over an e-folding depth.
VS_SURFACE_KM_S = 2.0
VS_DEEP_KM_S = 3.7
VS_DEPTH_SCALE_KM = 4.0
# A P-wave speed must exceed sqrt(4/3) times the S-wave speed for a positive bulk modulus.
MIN_VP_OVER_VS = math.sqrt(4.0 / 3.0)
# Quality factors below this lose more than a fifth of a wave's energy per cycle, where
# the constant-Q dispersion relation the Green's functions use (first order in 1/Q) no
# longer holds.
MIN_QUALITY_FACTOR = 5.0
# The default rule: Qs = 50 Vs (Vs in km/s), Qp = 2 Qs (Olsen, Day and Bradley 2003).
QS_PER_VS_S_KM = 50.0
QP_OVER_QS = 2.0
# Crusts shipped as package data (crusts/NAME.txt), loadable by name.
SHIPPED_CRUSTS = ("mojave",)
# What no layer of the Earth goes beyond (PREM, Dziewonski and Anderson 1981, and the
# softest water-saturated sediments): tops within the Earth's radius; shear speeds from
# 0.05 km/s (soft mud) to 8 km/s (7.3 at the base of the mantle); P speeds up to 14 km/s
# (13.7 there); Vp/Vs up to 30 (water-saturated mud, Vp 1.5 km/s over Vs 0.05); densities
# from water's 1 g/cm^3 to 14 (13 at the centre of the Earth).
EARTH_RADIUS_KM = 6371.0
VS_RANGE_KM_S = (0.05, 8.0)
MAX_VP_KM_S = 14.0
MAX_VP_OVER_VS = 30.0
DENSITY_RANGE_G_CM3 = (1.0, 14.0)


def brocher_vp_km_s(vs_km_s: FloatArray) -> FloatArray:
    """P-wave speed from S-wave speed (Brocher 2005, eq. 9, for 0 < Vs < 4.5 km/s)."""
    vs = vs_km_s
    return 0.9409 + 2.0947 * vs - 0.8206 * vs**2 + 0.2683 * vs**3 - 0.0251 * vs**4


def brocher_density_g_cm3(vp_km_s: FloatArray) -> FloatArray:
    """Density from P-wave speed (Brocher 2005, eq. 1, Nafe-Drake, 1.5 < Vp < 8.5 km/s)."""
    vp = vp_km_s
    return 1.6612 * vp - 0.4721 * vp**2 + 0.0671 * vp**3 - 0.0043 * vp**4 + 0.000106 * vp**5


def rigidity_pa(vs_km_s: FloatArray, density_g_cm3: FloatArray) -> FloatArray:
    """The shear modulus mu = rho Vs^2.

    Parameters
    ----------
    vs_km_s : numpy.ndarray
        Shear-wave speed, km/s.
    density_g_cm3 : numpy.ndarray
        Density, g/cm^3.

    Returns
    -------
    numpy.ndarray
        Rigidity, Pa.
    """
    return (density_g_cm3 * 1e3) * (vs_km_s * 1e3) ** 2


@dataclass(frozen=True)
class GenericCrust:
    """A generic continental crust: Vs from 2.0 km/s at the surface towards 3.7 km/s,
    with an e-folding depth of 4 km; density from Vs through Vp (Brocher 2005, eqs. 9 and
    1). The crust of a rupture whose settings name none."""

    def shear_speed_km_s(self, depth_km: FloatArray) -> FloatArray:
        """The shear-wave speed at each depth.

        Parameters
        ----------
        depth_km : numpy.ndarray
            Depths below the surface, km.

        Returns
        -------
        numpy.ndarray
            Vs, km/s.
        """
        return VS_DEEP_KM_S - (VS_DEEP_KM_S - VS_SURFACE_KM_S) * np.exp(-depth_km / VS_DEPTH_SCALE_KM)

    def density_g_cm3(self, depth_km: FloatArray) -> FloatArray:
        """The density at each depth (Brocher 2005's relation to Vp).

        Parameters
        ----------
        depth_km : numpy.ndarray
            Depths below the surface, km.

        Returns
        -------
        numpy.ndarray
            The density, g/cm^3.
        """
        return brocher_density_g_cm3(brocher_vp_km_s(self.shear_speed_km_s(depth_km)))

    def describe(self) -> str:
        """The crust in a few words, for summaries.

        Returns
        -------
        str
            Its speeds and the source of its densities.
        """
        return "generic crust (Vs 2.0 to 3.7 km/s, density from Brocher 2005)"

    def settings(self) -> dict[str, object] | None:
        """What a settings file holds of the crust.

        Returns
        -------
        None
            A settings file names no crust for the generic one.
        """
        return None


@dataclass(frozen=True)
class LayeredModel:
    """A crust of flat layers; the last goes on to any depth.

    Every layer is checked as the model is made: tops within the Earth's radius and
    increasing from 0, Vs from 0.05 to 8 km/s, Vp up to 14 km/s, Vp/Vs from sqrt(4/3) to
    30, densities from 1 to 14 g/cm^3, quality factors of at least 5.

    Parameters
    ----------
    top_km : tuple of float
        Each layer's top depth, km; the first 0.
    vp_km_s, vs_km_s : tuple of float
        Each layer's P- and S-wave speeds, km/s.
    rho_g_cm3 : tuple of float
        Each layer's density, g/cm^3.
    source : str
        Where the layers came from, for messages and summaries.
    qp, qs : tuple of float, optional
        Each layer's quality factors; without them Qs = 50 Vs (Vs in km/s) and Qp = 2 Qs
        (Olsen, Day and Bradley 2003).

    Raises
    ------
    SettingError
        A layer beyond those bounds (named as ``velocity_model``, with the layer).

    Examples
    --------
    >>> from kinematic_rupture import LayeredModel
    >>> crust = LayeredModel((0.0, 3.0), (3.2, 6.0), (1.8, 3.5), (2.3, 2.7))
    >>> float(crust.shear_speed_km_s(5.0))
    3.5
    >>> round(LayeredModel.named("mojave").vs30_m_s(), 1)
    500.9
    """

    top_km: tuple[float, ...]
    vp_km_s: tuple[float, ...]
    vs_km_s: tuple[float, ...]
    rho_g_cm3: tuple[float, ...]
    source: str = "velocity model"
    qp: tuple[float, ...] | None = None  # None: the rule of QS_PER_VS_S_KM and QP_OVER_QS
    qs: tuple[float, ...] | None = None

    def __post_init__(self) -> None:
        columns = (self.top_km, self.vp_km_s, self.vs_km_s, self.rho_g_cm3)
        if len({len(column) for column in columns}) != 1 or not self.top_km:
            raise SettingError("velocity_model", self.source,
                               "needs the same number (at least one) of tops, Vp, Vs and densities")
        for layer in range(len(self.top_km)):
            problem = layer_problem(layer, self.top_km[layer], self.vp_km_s[layer],
                                    self.vs_km_s[layer], self.rho_g_cm3[layer],
                                    self.top_km[layer - 1] if layer else None)
            if problem:
                raise SettingError("velocity_model", self.source, f"layer {layer + 1}: {problem}")
        if (self.qp is None) != (self.qs is None) or (
                self.qp is not None and self.qs is not None
                and not len(self.qp) == len(self.qs) == len(self.top_km)):
            raise SettingError("velocity_model", self.source,
                               "needs both Qp and Qs for every layer, or neither")
        for layer, (qp, qs) in enumerate(zip(self.qp or (), self.qs or ())):
            problem = quality_problem(qp, qs)
            if problem:
                raise SettingError("velocity_model", self.source, f"layer {layer + 1}: {problem}")

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> "LayeredModel":
        """A crust read from a text file of one layer a line.

        Each line gives the layer's top depth (km), Vp and Vs (km/s) and density
        (g/cm^3), and may add Qp and Qs; blank lines and everything after '#' are
        ignored. A file is a regular file of at most 16 MiB.

        Parameters
        ----------
        path : str or os.PathLike
            The file.

        Returns
        -------
        LayeredModel

        Raises
        ------
        SettingError
            A file that cannot be read, or a line that is not a layer (named by its
            number).
        """
        text = input_text(path, "velocity_model")
        layers: list[tuple[float, ...]] = []
        for number, line in enumerate(text.splitlines(), start=1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            try:
                values = [float(word) for word in words]
            except ValueError:
                values = []
            if len(values) not in (4, 6) or (layers and len(values) != len(layers[0])):
                raise SettingError("velocity_model", os.fspath(path),
                                   f"line {number} must hold four numbers: top depth (km), "
                                   f"Vp (km/s), Vs (km/s) and density (g/cm^3), or six with Qp "
                                   f"and Qs, as every layer's line does")
            problem = layer_problem(len(layers), values[0], values[1], values[2], values[3],
                                    layers[-1][0] if layers else None)
            if not problem and len(values) == 6:
                problem = quality_problem(values[4], values[5])
            if problem:
                raise SettingError("velocity_model", os.fspath(path), f"line {number}: {problem}")
            layers.append(tuple(values))
        if not layers:
            raise SettingError("velocity_model", os.fspath(path), "holds no layer")
        columns = [tuple(column) for column in zip(*layers)]
        quality = (columns[4], columns[5]) if len(columns) == 6 else (None, None)
        return cls(columns[0], columns[1], columns[2], columns[3], source=os.fspath(path),
                   qp=quality[0], qs=quality[1])

    @classmethod
    def named(cls, name: str) -> "LayeredModel":
        """A crust shipped with the package.

        Parameters
        ----------
        name : str
            One of ``SHIPPED_CRUSTS``: ``"mojave"``, the SCEC Broadband Platform's
            Mojave rock profile (Vs30 500.9 m/s).

        Returns
        -------
        LayeredModel

        Raises
        ------
        SettingError
            Another name.
        """
        if name not in SHIPPED_CRUSTS:
            raise SettingError("velocity_model", name,
                               f"is not a shipped crust ({', '.join(SHIPPED_CRUSTS)})")
        with resources.as_file(resources.files(__package__) / "crusts" / f"{name}.txt") as path:
            model = cls.from_file(path)
        return cls(model.top_km, model.vp_km_s, model.vs_km_s, model.rho_g_cm3,
                   source=name, qp=model.qp, qs=model.qs)

    @classmethod
    def from_file_or_name(cls, text: str) -> "LayeredModel":
        """The file `text`, or the shipped crust of that name where no such file exists (as the
        command's ``--velocity-model`` takes it).

        Parameters
        ----------
        text : str
            A path, or the name of a crust shipped with the package (`named`).

        Returns
        -------
        LayeredModel
            The crust.

        Raises
        ------
        SettingError
            Neither a readable crust file nor a shipped crust's name.
        """
        if text in SHIPPED_CRUSTS and not os.path.exists(text):
            return cls.named(text)
        return cls.from_file(text)

    def quality_factors(self) -> tuple[tuple[float, ...], tuple[float, ...]]:
        """The layers' quality factors: the file's, or Qs = 50 Vs and Qp = 2 Qs (Vs in km/s; Olsen,
        Day and Bradley 2003).

        Returns
        -------
        tuple of tuple of float
            (Qp, Qs), one value a layer each.
        """
        if self.qp is not None and self.qs is not None:
            return self.qp, self.qs
        qs = tuple(QS_PER_VS_S_KM * vs for vs in self.vs_km_s)
        return tuple(QP_OVER_QS * q for q in qs), qs

    def vs30_m_s(self) -> float:
        """The time-averaged shear-wave speed of the top 30 m: 30 m over the S-wave travel time
        through them (Borcherdt 1994; the site term of the NGA-West2 models).

        Returns
        -------
        float
            Vs30, m/s.
        """
        tops = np.asarray(self.top_km)
        bottoms = np.append(tops[1:], np.inf)
        thickness_m = 1e3 * (np.minimum(bottoms, 0.03) - np.minimum(tops, 0.03))
        return float(30.0 / np.sum(thickness_m / (1e3 * np.asarray(self.vs_km_s))))

    def depth_to_vs_km(self, vs_km_s: float) -> float:
        """The depth of the top of the first layer whose Vs reaches `vs_km_s` (Z1.0 for 1 km/s,
        Z2.5 for 2.5 km/s).

        Parameters
        ----------
        vs_km_s : float
            The shear-wave speed, km/s.

        Returns
        -------
        float
            The depth, km; infinity if no layer reaches it.
        """
        reached = [top for top, vs in zip(self.top_km, self.vs_km_s) if vs >= vs_km_s]
        return reached[0] if reached else math.inf

    def layer_of(self, depth_km: FloatArray) -> npt.NDArray[np.intp]:
        """The layer each depth lies in; a depth on a boundary is in the layer below it.

        Parameters
        ----------
        depth_km : numpy.ndarray
            Depths below the surface, km.

        Returns
        -------
        numpy.ndarray of int
            Each depth's layer, from 0; the first above the first top, the last below it all.
        """
        index = np.searchsorted(np.asarray(self.top_km), depth_km, side="right") - 1
        return np.clip(index, 0, len(self.top_km) - 1)

    def shear_speed_km_s(self, depth_km: FloatArray) -> FloatArray:
        """The shear-wave speed at each depth; a depth on a boundary is in the layer below it.

        Parameters
        ----------
        depth_km : numpy.ndarray
            Depths below the surface, km.

        Returns
        -------
        numpy.ndarray
            Vs, km/s.
        """
        return np.asarray(self.vs_km_s, dtype=np.float64)[self.layer_of(depth_km)]

    def density_g_cm3(self, depth_km: FloatArray) -> FloatArray:
        """The density at each depth; a depth on a boundary is in the layer below it.

        Parameters
        ----------
        depth_km : numpy.ndarray
            Depths below the surface, km.

        Returns
        -------
        numpy.ndarray
            The density, g/cm^3.
        """
        return np.asarray(self.rho_g_cm3, dtype=np.float64)[self.layer_of(depth_km)]

    def describe(self) -> str:
        """The crust in a few words, for summaries.

        Returns
        -------
        str
            Its count of layers and its source.
        """
        return f"{len(self.top_km)} layers from {self.source}"

    def settings(self) -> dict[str, object] | None:
        """The layers as plain values, as a settings file holds them.

        Returns
        -------
        dict of str to object
            ``top_km``, ``vp_km_s``, ``vs_km_s``, ``rho_g_cm3`` and ``source``, and ``qp`` and
            ``qs`` where the crust has them.
        """
        values: dict[str, object] = {
            "top_km": list(self.top_km), "vp_km_s": list(self.vp_km_s),
            "vs_km_s": list(self.vs_km_s), "rho_g_cm3": list(self.rho_g_cm3),
            "source": self.source}
        if self.qp is not None and self.qs is not None:
            values.update(qp=list(self.qp), qs=list(self.qs))
        return values


def layer_problem(layer: int, top: float, vp: float, vs: float, density: float,
                  previous_top: float | None = None) -> str | None:
    """What is wrong with a layer, or None."""
    if not all(math.isfinite(value) for value in (top, vp, vs, density)):
        return "every value must be a finite number"
    if layer == 0 and top != 0:
        return f"the first layer's top is at {top:g} km; it must be at 0 km"
    if previous_top is not None and top <= previous_top:
        return f"its top at {top:g} km is not below the previous one at {previous_top:g} km"
    if top > EARTH_RADIUS_KM:
        return f"its top at {top:g} km is below the centre of the Earth ({EARTH_RADIUS_KM:g} km)"
    if vs <= 0 or density <= 0:
        return "Vs and density must be positive"
    if not VS_RANGE_KM_S[0] <= vs <= VS_RANGE_KM_S[1]:
        return (f"Vs {vs:g} km/s must be from {VS_RANGE_KM_S[0]:g} to {VS_RANGE_KM_S[1]:g} km/s, "
                f"as in every layer of the Earth")
    if not DENSITY_RANGE_G_CM3[0] <= density <= DENSITY_RANGE_G_CM3[1]:
        return (f"density {density:g} g/cm^3 must be from {DENSITY_RANGE_G_CM3[0]:g} to "
                f"{DENSITY_RANGE_G_CM3[1]:g} g/cm^3, as in every layer of the Earth")
    if vp < MIN_VP_OVER_VS * vs:
        return f"Vp {vp:g} km/s must be at least sqrt(4/3) times Vs {vs:g} km/s"
    if vp > MAX_VP_KM_S:
        return f"Vp {vp:g} km/s must be at most {MAX_VP_KM_S:g} km/s, as in every layer of the Earth"
    if vp > MAX_VP_OVER_VS * vs:
        return (f"Vp {vp:g} km/s is {vp / vs:.3g} times Vs {vs:g} km/s; Vp/Vs must be at most "
                f"{MAX_VP_OVER_VS:g}, as in the softest water-saturated sediments")
    return None


def quality_problem(qp: float, qs: float) -> str | None:
    """What is wrong with a layer's quality factors, or None."""
    if not all(math.isfinite(value) and value >= MIN_QUALITY_FACTOR for value in (qp, qs)):
        return f"Qp {qp:g} and Qs {qs:g} must be finite numbers of at least {MIN_QUALITY_FACTOR:g}"
    return None


VelocityModel = GenericCrust | LayeredModel


def velocity_model_from_settings(values: Any) -> VelocityModel:
    """The model a settings file describes: None is the generic crust."""
    if values is None:
        return GenericCrust()
    columns = ("top_km", "vp_km_s", "vs_km_s", "rho_g_cm3")
    optional = ("qp", "qs")
    if (not isinstance(values, dict) or set(values) - {*columns, *optional, "source"}
            or not all(isinstance(values.get(name), list) and all(
                isinstance(v, (int, float)) and not isinstance(v, bool) for v in values[name])
                for name in (*columns, *(name for name in optional if values.get(name) is not None)))):
        raise SettingError("velocity_model", "in the settings file",
                           "must list the numbers top_km, vp_km_s, vs_km_s and rho_g_cm3 (and "
                           "optionally qp and qs), and nothing else but its source")
    layers = {name: tuple(float(v) for v in values[name]) for name in columns}
    quality = {name: tuple(float(v) for v in values[name]) for name in optional
               if values.get(name) is not None}
    return LayeredModel(**layers, **quality, source=str(values.get("source", "settings file")))
