"""One kinematic rupture through the library: a 30 km x 15 km thrust, Mw 6.6, written as
an SRF 2.0 file and summarised.

    python examples/one_rupture.py rupture.srf
"""

import sys

from kinematic_rupture import Fault, RuptureSettings, build_rupture, read_srf, write_srf

fault = Fault.single(length_km=30.0, width_km=15.0, cell_km=0.25, lon=139.5, lat=35.6,
                     strike_deg=40.0, dip_deg=35.0, rake_deg=90.0, top_depth_km=2.0)
rupture = build_rupture(fault, RuptureSettings(magnitude=6.6, seed=7))
path = sys.argv[1] if len(sys.argv) > 1 else "rupture.srf"
write_srf(path, rupture)

print(f"Mw {rupture.mw:.2f}, {fault.subfault_count:,} subfaults, duration {rupture.duration_s:.1f} s, "
      f"largest slip {rupture.slip_m.max():.2f} m")
print(f"{path}: {len(read_srf(path).points):,} points read back")
