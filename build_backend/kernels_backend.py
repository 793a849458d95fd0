"""The build backend: scikit-build-core's, asking in addition for oneTBB from the package
index (`tbb-devel`, which brings `tbb`) when the machine has no oneTBB of its own.

Only the build requirements differ. The module links the machine's oneTBB wherever CMake
finds one; tbb-devel is the fallback, and then the module's wheel carries the oneTBB
library (see the top-level CMakeLists.txt). This check only decides whether to ask pip for
tbb-devel: it looks where CMake looks for a TBBConfig.cmake, and if it is wrong either way
the build still does the right thing or stops saying what to install.
"""

from __future__ import annotations

import glob
import os

from scikit_build_core.build import *  # noqa: F403 (the hooks this module passes on)
from scikit_build_core.build import (
    get_requires_for_build_editable as _requires_for_editable,
    get_requires_for_build_wheel as _requires_for_wheel,
)

# The package index's oneTBB, by the name that holds its headers and CMake files.
TBB_FROM_INDEX = "tbb-devel"


def _machine_has_onetbb(config_settings: dict[str, str | list[str]] | None) -> bool:
    settings = config_settings or {}
    if any(f"cmake.define.{name}" in settings for name in ("TBB_DIR", "TBB_ROOT")):
        return True
    if os.environ.get("TBB_DIR"):
        return True
    prefixes = [os.environ.get("TBB_ROOT", "")]
    prefixes += os.environ.get("CMAKE_PREFIX_PATH", "").split(os.pathsep)
    prefixes += ["/usr/local", "/usr"]
    for prefix in filter(None, prefixes):
        # <prefix>/lib, lib64, lib/<multiarch> or share, then cmake/TBB (or tbb) as oneTBB
        # installs itself, with TBBConfig.cmake or tbb-config.cmake.
        for libdir in ("lib*", "lib/*", "share"):
            pattern = os.path.join(prefix, libdir, "cmake", "[Tt][Bb][Bb]*", "*[Cc]onfig.cmake")
            if glob.glob(pattern):
                return True
    return False


def get_requires_for_build_wheel(
    config_settings: dict[str, str | list[str]] | None = None,
) -> list[str]:
    extra = [] if _machine_has_onetbb(config_settings) else [TBB_FROM_INDEX]
    return [*_requires_for_wheel(config_settings), *extra]


def get_requires_for_build_editable(
    config_settings: dict[str, str | list[str]] | None = None,
) -> list[str]:
    extra = [] if _machine_has_onetbb(config_settings) else [TBB_FROM_INDEX]
    return [*_requires_for_editable(config_settings), *extra]
