# SPDX-License-Identifier: GPL-2.0-or-later
"""Helper of `cmake --install` for the Python package, run by the interpreter
the package is installed for.

  python3 python_install.py site PREFIX
      prints the folder of PREFIX where this interpreter looks for packages:
      the site path that its own installation scheme gives PREFIX (Debian's
      deb_system scheme for /usr, its posix_local scheme for /usr/local, a
      virtual environment's own scheme for its folder ...), else the
      posix_prefix scheme's PREFIX/lib/pythonX.Y/site-packages.

  python3 python_install.py record SITE DIST_INFO FILE...
      writes SITE/DIST_INFO/RECORD: each FILE (relative to SITE) with its
      sha256 hash and size, and the RECORD itself, as the wheel format has
      them, so that pip can list and uninstall the installed package.
"""

import base64
import csv
import hashlib
import os
import site
import sys
import sysconfig


def site_folder(prefix):
    prefix = os.path.normpath(os.path.abspath(prefix))
    # The folders the interpreter searches, or would once they exist.
    searched = set()
    for folder in list(sys.path) + list(site.getsitepackages()):
        if folder:
            searched.add(os.path.normpath(os.path.abspath(folder)))
    default = getattr(sysconfig, "get_default_scheme", None)
    order = [default()] if default is not None else []
    order += ["deb_system", "posix_local", "venv", "posix_venv", "posix_prefix"]
    # A scheme fits when its installation root ("data") is the prefix: Debian's
    # posix_local scheme puts "local" under the interpreter's own prefix, so
    # /usr/local is reached from base /usr.
    bases = [prefix, sys.prefix, sys.base_prefix]
    schemes = sysconfig.get_scheme_names()
    for scheme in order:
        if scheme not in schemes:
            continue
        for base in bases:
            values = {"base": base, "platbase": base,
                      "installed_base": base, "installed_platbase": base}
            root = os.path.normpath(sysconfig.get_path("data", scheme, vars=values))
            folder = os.path.normpath(sysconfig.get_path("purelib", scheme, vars=values))
            if root == prefix and folder in searched:
                return folder
    # A prefix the interpreter does not search: the standard layout, which
    # PYTHONPATH can name.
    values = {"base": prefix, "platbase": prefix,
              "installed_base": prefix, "installed_platbase": prefix}
    return os.path.normpath(sysconfig.get_path("purelib", "posix_prefix", vars=values))


def _hash(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(1 << 16), b""):
            digest.update(block)
    text = base64.urlsafe_b64encode(digest.digest()).rstrip(b"=").decode("ascii")
    return "sha256=" + text, os.path.getsize(path)


def write_record(site_dir, dist_info, files):
    record = dist_info + "/RECORD"
    with open(os.path.join(site_dir, record), "w", newline="", encoding="utf-8") as output:
        writer = csv.writer(output, lineterminator="\n")
        for name in sorted(set(files) - {record}):
            digest, size = _hash(os.path.join(site_dir, name))
            writer.writerow([name, digest, size])
        writer.writerow([record, "", ""])


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "site":
        print(site_folder(arguments[1]))
        return 0
    if len(arguments) >= 3 and arguments[0] == "record":
        write_record(arguments[1], arguments[2], arguments[3:])
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
