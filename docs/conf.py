"""Sphinx configuration of vornel's documentation (built by tools/docs.sh)."""

import doctest
import os
import sys
from pathlib import Path

import vornel

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "vornel"
author = "the vornel developers"
copyright = "the vornel developers"  # noqa: A001 (Sphinx's name)
version = release = vornel.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.intersphinx",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "sphinx_copybutton",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "myst_parser",
    "vornel_docs",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_inventories", "tutorials_src"]
html_static_path = ["_static"]
html_css_files = ["vornel.css"]

# Every cross-reference must resolve.
nitpicky = True

# ---- Python objects --------------------------------------------------------
autodoc_default_options = {"members": True, "member-order": "bysource"}
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
# The signatures that the docstrings start with are taken out of the text;
# those shown come from the type stub (vornel_docs).
autodoc_docstring_signature = True
python_use_unqualified_type_names = True
python_maximum_signature_line_length = 88
add_module_names = False

# The core's docstrings have Google-style sections (Args:), the Python
# layer's numpydoc sections: napoleon reads both.
napoleon_google_docstring = True
napoleon_numpy_docstring = True
napoleon_use_rtype = False
napoleon_use_ivar = False
napoleon_preprocess_types = True
napoleon_type_aliases = {
    "array_like": ":term:`numpy:array_like`",
    "sequence": ":term:`python:sequence`",
    "Bounds": ":class:`~scipy.optimize.Bounds`",
    "HessianUpdateStrategy": ":class:`~scipy.optimize.HessianUpdateStrategy`",
    "OptimizeResult": ":class:`~scipy.optimize.OptimizeResult`",
}

# Inventories kept in the repository (docs/_inventories/README.md says where
# they come from), so that the build never needs the network.
intersphinx_mapping = {
    "python": ("https://docs.python.org/3/", str(HERE / "_inventories" / "python.inv")),
    "numpy": ("https://numpy.org/doc/stable/", str(HERE / "_inventories" / "numpy.inv")),
    "scipy": ("https://docs.scipy.org/doc/scipy/", str(HERE / "_inventories" / "scipy.inv")),
}
intersphinx_timeout = 1

# ---- Markdown pages --------------------------------------------------------
myst_enable_extensions = ["colon_fence", "deflist", "dollarmath", "fieldlist"]
myst_heading_anchors = 3

# ---- Doctests: the pages' and the docstrings' examples ---------------------
# The how-to guides build HS071 with the examples' module (make_problem, x0).
doctest_global_setup = f"""
import ctypes.util
import sys
import numpy as np
import vornel
sys.path.insert(0, {str(HERE.parent / "examples")!r})
hsl_present = any(ctypes.util.find_library(name) for name in ("hsl", "coinhsl"))
"""
doctest_test_doctest_blocks = "default"
# Long expected lines are wrapped in the docstrings.
doctest_default_flags = (
    doctest.ELLIPSIS
    | doctest.IGNORE_EXCEPTION_DETAIL
    | doctest.DONT_ACCEPT_TRUE_FOR_1
    | doctest.NORMALIZE_WHITESPACE
)

# ---- Tutorials, executed at build time -------------------------------------
sphinx_gallery_conf = {
    "examples_dirs": "tutorials_src",
    "gallery_dirs": "tutorials",
    "filename_pattern": r".*\.py$",
    "ignore_pattern": r"(^|/)_",
    "within_subsection_order": "FileNameSortKey",
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "download_all_examples": False,
    "write_computation_times": False,
    "show_memory": False,
    "show_signature": False,
    "remove_config_comments": True,
    "capture_repr": ("_repr_html_", "__repr__"),
    "matplotlib_animations": False,
    "reset_modules": ("matplotlib",),
    "plot_gallery": os.environ.get("VORNEL_DOCS_GALLERY", "True"),
    "backreferences_dir": None,
    "doc_module": (),
    "default_thumb_file": str(HERE / "_static" / "tutorial-thumb.png"),
}

# ---- Plots of the benchmark results ----------------------------------------
plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.figsize": (7.0, 4.2), "savefig.bbox": "tight"}

# ---- HTML ------------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = f"vornel {release}"
html_logo = "_static/vornel-logo.svg"
html_favicon = "_static/vornel-logo.svg"
html_context = {"default_mode": "light"}
# MathJax from the build's own files (vornel_docs copies them): the site
# works without network.
mathjax_path = "mathjax/tex-chtml.js"
html_theme_options = {
    "navbar_align": "left",
    "header_links_before_dropdown": 7,
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
    "use_edit_page_button": False,
    "logo": {"text": "vornel"},
}
html_sidebars = {"index": [], "benchmarks": [], "troubleshooting": []}
html_show_sourcelink = False
html_copy_source = False
html_last_updated_fmt = None

copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_exclude = ".linenos, .gp, .go"
