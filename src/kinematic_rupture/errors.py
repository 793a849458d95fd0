"""The package's exceptions: one family under `KinematicRuptureError`.

A refusal of a value is a `SettingError`; a file that is not Standard Rupture Format as
this package reads it is an `SrfError`. Both are also `ValueError`, as the standard
library's refusals of values are, so ``except ValueError`` catches them. Anything else
an operation of the package raises (an `OSError` of a file, a `MemoryError`) is Python's
own; any other exception is a fault of the package.

.. autosummary::

   KinematicRuptureError
   SettingError
   SrfError
"""

__all__ = ["KinematicRuptureError", "SettingError", "SrfError"]


def quote(value: object) -> str:
    """A value as its setting would be written: floats in their shortest form, pairs and
    sequences space-separated, text as it is.

    Parameters
    ----------
    value : object
        The value to show.

    Returns
    -------
    str
        ``"95"`` for 95.0, ``"0.1"`` for 0.1, ``"10 12"`` for (10, 12), ``"true"`` for True.
    """
    if isinstance(value, bool):
        return str(value).lower()
    if isinstance(value, float):
        return repr(value) if not value.is_integer() or abs(value) >= 1e16 else str(int(value))
    if isinstance(value, (tuple, list)):
        return " ".join(quote(item) for item in value)
    return str(value)


class KinematicRuptureError(Exception):
    """The base of every exception this package raises for what it was given.

    Catch it to handle every refusal of the package at once; anything else is a fault
    of the package, or Python's own (`OSError`, `MemoryError`).
    """


class SettingError(KinematicRuptureError, ValueError):
    """A setting that cannot be used.

    The message names the setting, quotes its value and says what is valid:
    ``"dip_deg 95: a dip must be in (0, 90]"``.

    Parameters
    ----------
    setting : str
        The setting's name, as the library calls it (``"dip_deg"``).
    value : object
        The value given; quoted in the message as it would be written.
    requirement : str
        What a valid value is.

    Attributes
    ----------
    setting, value, requirement
        As given.

    Examples
    --------
    >>> from kinematic_rupture import Plane, SettingError
    >>> try:
    ...     Plane(dip_deg=95)
    ... except SettingError as refusal:
    ...     print(refusal.setting, "|", refusal)
    dip_deg | dip_deg 95: a dip must be in (0, 90]
    """

    def __init__(self, setting: str, value: object, requirement: str) -> None:
        self.setting = setting
        self.value = value
        self.requirement = requirement
        super().__init__(self.sentence(setting))

    def sentence(self, name: str) -> str:
        """The refusal with the setting called `name`.

        Parameters
        ----------
        name : str
            What to call the setting, such as the command's option (``"--dip"``).

        Returns
        -------
        str
            ``"NAME VALUE: REQUIREMENT"``.
        """
        return f"{name} {quote(self.value)}: {self.requirement}"


class SrfError(KinematicRuptureError, ValueError):
    """A file that is not Standard Rupture Format as this package reads it, or an SRF
    file that cannot give what was asked of it (a grid of planes whose cell counts do not
    add up to its points, an export of slip that opens). The message names the line or
    the point."""
