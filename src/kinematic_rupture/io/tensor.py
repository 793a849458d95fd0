"""Moment tensors of shear slip from strike, dip and rake, and their frames.

The convention is Aki and Richards' (2002, Box 4.4): strike clockwise from north with the
fault dipping to its right, dip in [0, 90], rake from the strike direction to the hanging
wall's slip. In north-east-down axes (x = N, y = E, z = down) the fault normal, from the
footwall into the hanging wall, is n = (-sin d sin f, sin d cos f, -cos d), the slip is
s = (cos r cos f + cos d sin r sin f, cos r sin f - cos d sin r cos f, -sin r sin d), and
M = M0 (s n^T + n s^T), which is the component table of Aki and Richards' Box 4.4 (the same
formulas are in SW4's parseInputFile.C, SPECFEM3D's strike_dip_rake_to_CMTSOLUTION.c and
instaseis' source.py). The Harvard (GCMT) frame is r = up, t = south, p = east:
Mrr = Mzz, Mtt = Mxx, Mpp = Myy, Mrt = Mxz, Mrp = -Myz, Mtp = -Mxy.

.. autosummary::

   ned_tensor
   harvard
   fault_vectors
"""

import numpy as np
import numpy.typing as npt

__all__ = ["ned_tensor", "harvard", "fault_vectors", "NED_COMPONENTS", "HARVARD_COMPONENTS"]

FloatArray = npt.NDArray[np.float64]

# The order of the six independent components in the arrays below.
NED_COMPONENTS = ("nn", "ee", "dd", "ne", "nd", "ed")
HARVARD_COMPONENTS = ("rr", "tt", "pp", "rt", "rp", "tp")


def fault_vectors(strike_deg: FloatArray, dip_deg: FloatArray,
                  rake_deg: FloatArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    """The unit vectors of slip and of the fault's normal, in north, east, down.

    Parameters
    ----------
    strike_deg, dip_deg, rake_deg : numpy.ndarray
        The mechanisms, degrees.

    Returns
    -------
    tuple of numpy.ndarray
        (slip along rake, slip along rake + 90, normal), each (N, 3); the second is SRF's
        u2 (Graves' SRF document, Fig. 1).
    """
    f, d = np.radians(strike_deg), np.radians(dip_deg)
    r = np.radians(rake_deg)

    def along(rake: FloatArray) -> FloatArray:
        return np.stack([np.cos(rake) * np.cos(f) + np.cos(d) * np.sin(rake) * np.sin(f),
                         np.cos(rake) * np.sin(f) - np.cos(d) * np.sin(rake) * np.cos(f),
                         -np.sin(rake) * np.sin(d)], axis=-1)

    normal = np.stack([-np.sin(d) * np.sin(f), np.sin(d) * np.cos(f), -np.cos(d)], axis=-1)
    return along(r), along(r + np.pi / 2), normal


def ned_tensor(strike_deg: FloatArray, dip_deg: FloatArray, rake_deg: FloatArray) -> FloatArray:
    """The unit-moment tensors of shear slip.

    Parameters
    ----------
    strike_deg, dip_deg, rake_deg : numpy.ndarray
        The mechanisms, degrees.

    Returns
    -------
    numpy.ndarray
        (N, 6), in the order of `NED_COMPONENTS`, of unit moment.

    Examples
    --------
    A vertical strike-slip fault striking north: only the north-east term.

    >>> import numpy as np
    >>> (ned_tensor(np.array([0.0]), np.array([90.0]), np.array([0.0])).round(12) + 0.0).tolist()
    [[0.0, 0.0, 0.0, 1.0, 0.0, 0.0]]

    """
    s, _, n = fault_vectors(strike_deg, dip_deg, rake_deg)
    pairs = ((0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2))
    return np.stack([s[:, i] * n[:, j] + s[:, j] * n[:, i] for i, j in pairs], axis=-1)


def harvard(ned: FloatArray) -> FloatArray:
    """NED tensors in the Harvard (GCMT) frame.

    Parameters
    ----------
    ned : numpy.ndarray
        (N, 6), in the order of `NED_COMPONENTS`.

    Returns
    -------
    numpy.ndarray
        (N, 6), in the order of `HARVARD_COMPONENTS`.
    """
    nn, ee, dd, ne, nd, ed = ned.T
    return np.stack([dd, nn, ee, nd, -ed, -ne], axis=-1)
