# SPDX-License-Identifier: GPL-2.0-or-later
"""Build backend of the wsbridge Python package: setuptools, run on a copy.

setuptools builds in the folder it is given and leaves build/ and
wsbridge.egg-info/ behind there. This backend copies the project (this
folder's pyproject.toml, README.md, MANIFEST.in, the package and the backend)
into a temporary folder, adds the repository's LICENSE when building from a
checkout, and lets setuptools build wheels and source distributions there:
`pip install bindings/python` leaves the source tree as it was.

The version is the library's: read from include/wsbridge.h of the checkout
(or, building from an unpacked source distribution, from the _location.py it
carries) and written into the copy's wsbridge/_location.py, where the
package's __version__ and pyproject.toml's dynamic version find it.

An editable install (pip install -e) must point into the source tree itself,
so it is handed to setuptools in place.
"""

import contextlib
import importlib.util
import os
import shutil
import tempfile

from setuptools import build_meta as _setuptools

PROJECT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_COPIED = ("pyproject.toml", "README.md", "MANIFEST.in", "LICENSE", "wsbridge", "backend")


def _version():
    path = os.path.join(PROJECT, "wsbridge", "_version.py")
    # The package's version module, loaded from its file: the package itself
    # is not importable while it is being built.
    loader_entry = importlib.util.spec_from_file_location("_wsbridge_version", path)
    module = importlib.util.module_from_spec(loader_entry)
    loader_entry.loader.exec_module(module)
    header = os.path.join(PROJECT, os.pardir, os.pardir, "include", "wsbridge.h")
    version = module.version_from_header(header) or module.version_recorded(os.path.join(PROJECT, "wsbridge"))
    if not version:
        raise RuntimeError("wsbridge: no version in %s or wsbridge/_location.py" % os.path.normpath(header))
    return version


@contextlib.contextmanager
def _in_copy():
    with tempfile.TemporaryDirectory(prefix="wsbridge-build-") as temporary:
        copy = os.path.join(temporary, "wsbridge")
        os.mkdir(copy)
        ignore = shutil.ignore_patterns("__pycache__", "*.pyc", "_location.py")
        for name in _COPIED:
            source = os.path.join(PROJECT, name)
            if os.path.isdir(source):
                shutil.copytree(source, os.path.join(copy, name), ignore=ignore)
            elif os.path.isfile(source):
                shutil.copy2(source, copy)
        checkout_license = os.path.join(PROJECT, os.pardir, os.pardir, "LICENSE")
        if not os.path.exists(os.path.join(copy, "LICENSE")) and os.path.isfile(checkout_license):
            shutil.copy2(checkout_license, os.path.join(copy, "LICENSE"))
        with open(os.path.join(copy, "wsbridge", "_location.py"), "w", encoding="utf-8") as location:
            location.write("# Written by the build backend: the package's version (the library's).\n"
                           "VERSION = \"%s\"\n" % _version())
        here = os.getcwd()
        os.chdir(copy)
        try:
            yield
        finally:
            os.chdir(here)


def _absolute(path):
    return os.path.abspath(path) if path else path


def get_requires_for_build_wheel(config_settings=None):
    with _in_copy():
        return _setuptools.get_requires_for_build_wheel(config_settings)


def get_requires_for_build_sdist(config_settings=None):
    with _in_copy():
        return _setuptools.get_requires_for_build_sdist(config_settings)


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    metadata_directory = _absolute(metadata_directory)
    with _in_copy():
        return _setuptools.prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel_directory = _absolute(wheel_directory)
    with _in_copy():
        return _setuptools.build_wheel(wheel_directory, config_settings, _absolute(metadata_directory))


def build_sdist(sdist_directory, config_settings=None):
    sdist_directory = _absolute(sdist_directory)
    with _in_copy():
        return _setuptools.build_sdist(sdist_directory, config_settings)


# Editable installs refer to the source tree: setuptools works in place.
if hasattr(_setuptools, "build_editable"):
    get_requires_for_build_editable = _setuptools.get_requires_for_build_editable
    prepare_metadata_for_build_editable = _setuptools.prepare_metadata_for_build_editable
    build_editable = _setuptools.build_editable
