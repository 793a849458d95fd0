"""Sphinx's settings for the reference manual: `python3 -m sphinx -W -b html docs build/docs`
(scripts/test builds it so, warnings as errors). The API pages come from the installed
package's numpydoc docstrings."""

import kinematic_rupture

project = "kinematic-rupture"
author = "the kinematic-rupture developers"
release = version = kinematic_rupture.__version__
copyright = "the kinematic-rupture developers"

extensions = ["sphinx.ext.autodoc", "sphinx.ext.autosummary", "numpydoc"]
exclude_patterns = ["_build"]
templates_path = ["_templates"]
default_role = "py:obj"

autosummary_generate = False
autodoc_member_order = "bysource"
autodoc_typehints = "none"  # numpydoc's Parameters say the types, with their units
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

html_theme = "alabaster"
html_title = f"kinematic-rupture {release}"
html_static_path: list[str] = []
autodoc_default_options = {"members": True}
