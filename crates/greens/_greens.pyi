# Types of the compiled module `kinematic_rupture._greens`, installed beside it.

from typing import TypeAlias

import numpy as np
import numpy.typing as npt

Float64Array: TypeAlias = npt.NDArray[np.float64]
Int64Array: TypeAlias = npt.NDArray[np.int64]

def spectra(
    top_km: Float64Array,
    vp_km_s: Float64Array,
    vs_km_s: Float64Array,
    rho_g_cm3: Float64Array,
    qp: Float64Array,  # +inf for no attenuation
    qs: Float64Array,
    reference_frequency_hz: float,
    receiver_depth_km: float,
    source_depth_km: Float64Array,  # each below receiver_depth_km
    distance_km: Float64Array,
    frequency_step_hz: float,
    first_frequency: int,
    damping_per_s: float,
    wavenumber_step_per_km: float,
    wavenumber_count: Int64Array,  # [source, frequency] flattened
    j0: Float64Array,  # J0(k_m r_d) as [m, d] flattened
    j1: Float64Array,
    out: Float64Array,  # written: complex128 [source, distance, 10, frequency] as float64 pairs
) -> None:
    """Writes into out the spectra of the ten fundamental displacement responses of a
    layered half-space (m per N m per Hz) at complex frequencies
    (first_frequency + n) frequency_step_hz + i damping_per_s."""
