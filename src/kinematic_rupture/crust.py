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
"""

import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .checks import SettingError

FloatArray = npt.NDArray[np.float64]

# The generic crust: shear-wave speed rising smoothly from the surface value towards the
# deep one over an e-folding depth.
VS_SURFACE_KM_S = 2.0
VS_DEEP_KM_S = 3.7
VS_DEPTH_SCALE_KM = 4.0
# A P-wave speed must exceed sqrt(4/3) times the S-wave speed for a positive bulk modulus.
MIN_VP_OVER_VS = math.sqrt(4.0 / 3.0)


def brocher_vp_km_s(vs_km_s: FloatArray) -> FloatArray:
    """P-wave speed from S-wave speed (Brocher 2005, eq. 9, for 0 < Vs < 4.5 km/s)."""
    vs = vs_km_s
    return 0.9409 + 2.0947 * vs - 0.8206 * vs**2 + 0.2683 * vs**3 - 0.0251 * vs**4


def brocher_density_g_cm3(vp_km_s: FloatArray) -> FloatArray:
    """Density from P-wave speed (Brocher 2005, eq. 1, Nafe-Drake, 1.5 < Vp < 8.5 km/s)."""
    vp = vp_km_s
    return 1.6612 * vp - 0.4721 * vp**2 + 0.0671 * vp**3 - 0.0043 * vp**4 + 0.000106 * vp**5


def rigidity_pa(vs_km_s: FloatArray, density_g_cm3: FloatArray) -> FloatArray:
    """Shear modulus mu = rho Vs^2, in Pa."""
    return (density_g_cm3 * 1e3) * (vs_km_s * 1e3) ** 2


@dataclass(frozen=True)
class GenericCrust:
    """A generic continental crust: Vs from 2.0 km/s at the surface towards 3.7 km/s,
    with an e-folding depth of 4 km; density through Brocher (2005)."""

    def shear_speed_km_s(self, depth_km: FloatArray) -> FloatArray:
        return VS_DEEP_KM_S - (VS_DEEP_KM_S - VS_SURFACE_KM_S) * np.exp(-depth_km / VS_DEPTH_SCALE_KM)

    def density_g_cm3(self, depth_km: FloatArray) -> FloatArray:
        return brocher_density_g_cm3(brocher_vp_km_s(self.shear_speed_km_s(depth_km)))

    def describe(self) -> str:
        return "generic crust (Vs 2.0 to 3.7 km/s, density from Brocher 2005)"

    def settings(self) -> dict[str, object] | None:
        return None


@dataclass(frozen=True)
class LayeredModel:
    """Flat layers: each one's top depth (km, the first 0), P and S speeds (km/s) and
    density rho (g/cm^3); the last layer goes on to any depth."""

    top_km: tuple[float, ...]
    vp_km_s: tuple[float, ...]
    vs_km_s: tuple[float, ...]
    rho_g_cm3: tuple[float, ...]
    source: str = "velocity model"

    def __post_init__(self) -> None:
        columns = (self.top_km, self.vp_km_s, self.vs_km_s, self.rho_g_cm3)
        if len({len(column) for column in columns}) != 1 or not self.top_km:
            raise SettingError("velocity_model", self.source,
                               "needs the same number (at least one) of tops, Vp, Vs and densities")
        for layer in range(len(self.top_km)):
            problem = layer_problem(layer, *(column[layer] for column in columns))
            if problem:
                raise SettingError("velocity_model", self.source, f"layer {layer + 1}: {problem}")

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> "LayeredModel":
        """Reads the plain-text layout in this module's description."""
        try:
            text = Path(path).read_text()
        except (OSError, UnicodeDecodeError) as failure:
            raise SettingError("velocity_model", os.fspath(path),
                               f"cannot be read ({failure_reason(failure)})") from None
        layers: list[tuple[float, float, float, float]] = []
        for number, line in enumerate(text.splitlines(), start=1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            try:
                values = [float(word) for word in words]
            except ValueError:
                values = []
            if len(values) != 4:
                raise SettingError("velocity_model", os.fspath(path),
                                   f"line {number} must hold four numbers: top depth (km), "
                                   f"Vp (km/s), Vs (km/s) and density (g/cm^3)")
            problem = layer_problem(len(layers), values[0], values[1], values[2], values[3],
                                    layers[-1][0] if layers else None)
            if problem:
                raise SettingError("velocity_model", os.fspath(path), f"line {number}: {problem}")
            layers.append((values[0], values[1], values[2], values[3]))
        if not layers:
            raise SettingError("velocity_model", os.fspath(path), "holds no layer")
        top, vp, vs, rho = (tuple(column) for column in zip(*layers))
        return cls(top, vp, vs, rho, source=os.fspath(path))

    def layer_of(self, depth_km: FloatArray) -> npt.NDArray[np.intp]:
        """The layer each depth lies in; a depth on a boundary is in the layer below it."""
        index = np.searchsorted(np.asarray(self.top_km), depth_km, side="right") - 1
        return np.clip(index, 0, len(self.top_km) - 1)

    def shear_speed_km_s(self, depth_km: FloatArray) -> FloatArray:
        return np.asarray(self.vs_km_s, dtype=np.float64)[self.layer_of(depth_km)]

    def density_g_cm3(self, depth_km: FloatArray) -> FloatArray:
        return np.asarray(self.rho_g_cm3, dtype=np.float64)[self.layer_of(depth_km)]

    def describe(self) -> str:
        return f"{len(self.top_km)} layers from {self.source}"

    def settings(self) -> dict[str, object] | None:
        return {"top_km": list(self.top_km), "vp_km_s": list(self.vp_km_s),
                "vs_km_s": list(self.vs_km_s), "rho_g_cm3": list(self.rho_g_cm3),
                "source": self.source}


def layer_problem(layer: int, top: float, vp: float, vs: float, density: float,
                  previous_top: float | None = None) -> str | None:
    """What is wrong with a layer, or None."""
    if not all(math.isfinite(value) for value in (top, vp, vs, density)):
        return "every value must be a finite number"
    if layer == 0 and top != 0:
        return f"the first layer's top is at {top:g} km; it must be at 0 km"
    if previous_top is not None and top <= previous_top:
        return f"its top at {top:g} km is not below the previous one at {previous_top:g} km"
    if vs <= 0 or density <= 0:
        return "Vs and density must be positive"
    if vp < MIN_VP_OVER_VS * vs:
        return f"Vp {vp:g} km/s must be at least sqrt(4/3) times Vs {vs:g} km/s"
    return None


def failure_reason(failure: BaseException) -> str:
    return failure.strerror if isinstance(failure, OSError) and failure.strerror else str(failure)


VelocityModel = GenericCrust | LayeredModel


def velocity_model_from_settings(values: Any) -> VelocityModel:
    """The model a settings file describes: None is the generic crust."""
    if values is None:
        return GenericCrust()
    columns = ("top_km", "vp_km_s", "vs_km_s", "rho_g_cm3")
    try:
        layers = {name: tuple(float(v) for v in values[name]) for name in columns}
    except (KeyError, TypeError, ValueError):
        raise SettingError("velocity_model", "in the settings file",
                           "must list top_km, vp_km_s, vs_km_s and rho_g_cm3") from None
    return LayeredModel(**layers, source=str(values.get("source", "settings file")))
