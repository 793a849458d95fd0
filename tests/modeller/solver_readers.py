"""The exports' readers, re-implemented from what each reader does in its own source (see
references: SW4 parseInputFile.C and readhdf5.C at 03cb7e8; SeisSol NRFReader.cpp and
rconv's nrf.cdl at dc9d4f1; SPECFEM3D get_cmt.f90, count_number_of_sources.f90 and
read_external_stf.f90 at 7a1c764), so that the tests see each file as its solver would.
Written apart from the package's writers: they share no code with them."""

import math
import re
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np


class Refused(Exception):
    """What the solver stops on (a fatal error in its reader)."""


# ---- SW4, `rupture file=` (EW::processRupture) ----------------------------------------


@dataclass
class Sw4Point:
    lon: float
    lat: float
    depth_km: float
    strike: float
    dip: float
    area_cm2: float
    tinit: float
    dt: float
    rake: float
    slip1_cm: float
    samples: list = field(default_factory=list)  # SR1 as read, cm/s


def sw4_tokens(line: str) -> list[str]:
    """strtok on blanks and tabs: the newline stays in the last token, so a blank before
    it makes a token of its own."""
    if len(line) >= 1024:
        raise Refused(f"a line of {len(line)} characters overflows the 1024-byte buffer")
    return [token for token in re.split(r"[ \t]+", line) if token != ""]


def sw4_read_srf(path: Path) -> list[Sw4Point]:
    """The points SW4 takes from a text SRF: the first POINTS block only, u1 only; points
    with NT1 = 0 make no source."""
    lines = iter(path.read_text().splitlines(keepends=True))
    float(next(lines))  # the version, printed only
    plane = sw4_tokens(next(lines))
    if plane[0] != "PLANE":
        raise Refused("line 2 is not a HEADER BLOCK line (PLANE nseg)")
    for _ in range(2 * int(plane[1])):
        next(lines)
    header = sw4_tokens(next(lines))
    if header[0] != "POINTS":
        raise Refused(f"expected POINTS, found {header[0]!r}")
    sources = []
    for _ in range(int(header[1])):
        first = [float(token) for token in sw4_tokens(next(lines))[:8]]
        rake, slip1, nt1, slip2, nt2, slip3, nt3 = (float(token) for token in sw4_tokens(next(lines))[:7])
        point = Sw4Point(*first, rake=rake, slip1_cm=slip1)
        for count, keep in ((int(nt1), True), (int(nt2), False), (int(nt3), False)):
            values: list[float] = []
            while len(values) < count:  # each component from a fresh line
                values += [float(token) for token in sw4_tokens(next(lines))]
            if len(values) != count:
                raise Refused(f"a line holds {len(values)} samples where {count} remain")
            if keep:
                point.samples = values
        if int(nt1) > 0:
            sources.append(point)
    return sources


def sw4_time_function(samples_cm_s: list[float], dt: float) -> np.ndarray:
    """SW4's processing of a point's SR1: to m/s, padded to 6 samples, one zero appended,
    scaled so that DT times the sum is 1 (an all-zero row gives NaN, SW4 issue #20)."""
    values = np.array(samples_cm_s) * 0.01
    values = np.concatenate([values, np.zeros(max(0, 6 - values.size)), [0.0]])
    with np.errstate(invalid="ignore", divide="ignore"):
        return values / (dt * values.sum())


# ---- SW4, `rupturehdf5` (readRuptureHDF5) --------------------------------------------

SW4_PLANE = [("ELON", "<f4"), ("ELAT", "<f4"), ("NSTK", "<i4"), ("NDIP", "<i4"), ("LEN", "<f4"),
             ("WID", "<f4"), ("STK", "<f4"), ("DIP", "<f4"), ("DTOP", "<f4"), ("SHYP", "<f4"),
             ("DHYP", "<f4")]
SW4_POINT = [(name, "<f4") for name in ("LON", "LAT", "DEP", "STK", "DIP", "AREA", "TINIT", "DT",
                                        "VS", "DEN", "RAKE", "SLIP1")] + [
    ("NT1", "<i4"), ("SLIP2", "<f4"), ("NT2", "<i4"), ("SLIP3", "<f4"), ("NT3", "<i4")]


def sw4_read_hdf5(path: Path) -> list[Sw4Point]:
    h5py = __import__("h5py")
    with h5py.File(path, "r") as data:
        version = data.attrs["VERSION"]
        if np.asarray(version).dtype != np.float32 or np.asarray(version).shape != ():
            raise Refused("VERSION is not a float32 scalar")
        plane = data.attrs["PLANE"]
        if plane.dtype != np.dtype(SW4_PLANE):
            raise Refused(f"PLANE has type {plane.dtype}")
        table = data["POINTS"][...]
        if table.dtype != np.dtype(SW4_POINT) or table.dtype.itemsize != 68:
            raise Refused(f"POINTS has type {table.dtype}")
        rates = data["SR1"][...]
        if rates.dtype != np.float32:
            raise Refused(f"SR1 has type {rates.dtype}")
    sources, cursor = [], 0
    for row in table:
        count = int(row["NT1"])
        point = Sw4Point(*(float(row[name]) for name in ("LON", "LAT", "DEP", "STK", "DIP", "AREA",
                                                          "TINIT", "DT")),
                         rake=float(row["RAKE"]), slip1_cm=float(row["SLIP1"]),
                         samples=rates[cursor:cursor + count].astype(float).tolist())
        cursor += count
        if count > 0:
            sources.append(point)
    if cursor != rates.size:
        raise Refused(f"SR1 holds {rates.size} samples, the points {cursor}")
    return sources


# ---- SeisSol, NRF (NRFReader.cpp) -----------------------------------------------------

VECTOR3 = [("x", "<f8"), ("y", "<f8"), ("z", "<f8")]
SUBFAULT = [("tinit", "<f8"), ("timestep", "<f8"), ("mu", "<f8"), ("area", "<f8"),
            ("tan1", VECTOR3), ("tan2", VECTOR3), ("normal", VECTOR3)]


@dataclass
class Nrf:
    centres: np.ndarray  # (N, 3), m
    subfaults: np.ndarray  # structured, SUBFAULT
    offsets: np.ndarray  # (N + 1, 3) uint32
    rates: list  # three arrays, m/s
    attributes: dict

    def samples(self, k: int, component: int = 0) -> np.ndarray:
        return self.rates[component][self.offsets[k, component]:self.offsets[k + 1, component]]

    def slip_m(self, k: int, component: int = 0) -> float:
        """SeisSol's integral of a row: linear between samples, trapezoids."""
        row = self.samples(k, component)
        if row.size == 0:
            return 0.0
        return float(self.subfaults["timestep"][k] * (row.sum() - 0.5 * (row[0] + row[-1])))


def seissol_read_nrf(path: Path) -> Nrf:
    netCDF4 = __import__("netCDF4")
    with netCDF4.Dataset(path) as data:
        sources = len(data.dimensions["source"])
        if len(data.dimensions["sroffset"]) != sources + 1:
            raise Refused("sroffset is not source + 1")
        centres = data["centres"]
        subfaults = data["subfaults"]
        # Read raw: member order and types must be these.
        if centres.datatype.dtype != np.dtype(VECTOR3) or subfaults.datatype.dtype != np.dtype(SUBFAULT):
            raise Refused("compound types differ from nrf.cdl's")
        if subfaults.datatype.dtype.itemsize != 104:
            raise Refused("a Subfault is not 104 bytes")
        offsets = data["sroffsets"]
        if offsets.dtype != np.uint32 or offsets.shape != (sources + 1, 3):
            raise Refused(f"sroffsets is {offsets.dtype} {offsets.shape}")
        rates = [data[f"sliprates{c}"] for c in "123"]
        if any(variable.dtype != np.float64 for variable in rates):
            raise Refused("sliprates are not doubles")
        attributes = {name: data[name].getncattr("units")
                      for name in ("centres", "sliprates1", "sliprates2", "sliprates3")}
        attributes.update({name: data.getncattr(name) for name in data.ncattrs()})
        table = subfaults[...] if sources else np.zeros(0, dtype=SUBFAULT)
        place = centres[...] if sources else np.zeros(0, dtype=VECTOR3)
        return Nrf(np.stack([place[axis] for axis in "xyz"], axis=-1), table,
                   offsets[...].astype(np.uint32),
                   [variable[...].astype(float) if variable.shape[0] else np.zeros(0)
                    for variable in rates], attributes)


# ---- SPECFEM3D, CMTSOLUTION (get_cmt.f90) ---------------------------------------------

CMT_LABELS = ("event name", "time shift", "half duration", "latorUTM", "longorUTM", "depth",
              "Mrr", "Mtt", "Mpp", "Mrt", "Mrp", "Mtp")


@dataclass
class CmtSource:
    time_shift: float
    half_duration: float
    lat: float
    lon: float
    depth_km: float
    tensor: np.ndarray  # Mrr Mtt Mpp Mrt Mrp Mtp, dyne cm
    stf_file: str | None = None

    def moment_dyne_cm(self) -> float:
        rr, tt, pp, rt, rp, tp = self.tensor
        return math.sqrt(0.5 * (rr**2 + tt**2 + pp**2 + 2 * (rt**2 + rp**2 + tp**2)))


def specfem_read_cmt(path: Path, external: bool = False) -> list[CmtSource]:
    """Blocks of 13 lines (14 with USE_EXTERNAL_SOURCE_FILE); the line count must be an
    exact multiple; values after the first ':'."""
    lines = path.read_text().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    size = 14 if external else 13
    if len(lines) % size:
        raise Refused(f"{len(lines)} lines, not a multiple of {size}")
    sources = []
    for start in range(0, len(lines), size):
        block = lines[start:start + size]
        first = block[0]
        digit = re.search(r"\d", first)
        if digit is None or digit.start() == 0 or not re.search(r"\D", first[:digit.start()]):
            raise Refused(f"line 1 of block {start // size + 1} has no word before its date")
        year, month, day, hour, minute = (int(word) for word in first[digit.start():].split()[:5])
        second = float(first[digit.start():].split()[5])
        if not (1 <= year <= 3000 and 1 <= month <= 12 and 1 <= day <= 31 and 0 <= hour < 24
                and 0 <= minute < 60 and 0 <= second < 60):
            raise Refused(f"block {start // size + 1} has an impossible date")
        values = []
        for label, line in zip(CMT_LABELS, block[1:13]):
            if ":" not in line or not line.startswith(label.split()[0]):
                raise Refused(f"{line!r} is not the {label} line")
            values.append(line.split(":", 1)[1].strip())
        numbers = [float(value) for value in values[1:]]
        sources.append(CmtSource(*numbers[:5], tensor=np.array(numbers[5:]),
                                 stf_file=block[13].strip() if external else None))
    return sources


def specfem_read_stf(path: Path, nstep: int) -> np.ndarray:
    """An ASCII external STF: '#' and '!' lines and blank lines skipped, at least NSTEP
    values, the extra ones ignored."""
    values = [float(line) for line in path.read_text().splitlines()
              if line.strip() and not line.lstrip().startswith(("#", "!"))]
    if len(values) < nstep:
        raise Refused(f"{path.name} holds {len(values)} values, fewer than NSTEP = {nstep}")
    return np.array(values[:nstep])
