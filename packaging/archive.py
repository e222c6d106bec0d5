#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes one folder into a .zip or .tar.gz with nothing of the machine or the
moment in it: entries in name order, owner root, modes 0755 for folders and
programs and 0644 for the rest, every time SOURCE_DATE_EPOCH.

  archive.py OUTPUT.zip|OUTPUT.tar.gz PARENT FOLDER

FOLDER (a name inside PARENT) becomes the archive's one top-level folder.
"""

import gzip
import io
import os
import stat
import sys
import tarfile
import time
import zipfile


def entries(parent, folder):
    """(archive name, path, is a folder) for folder and all it holds, in name order."""
    found = [(folder, os.path.join(parent, folder), True)]
    for top, dirs, files in os.walk(os.path.join(parent, folder)):
        dirs.sort()
        for name in sorted(dirs + files):
            path = os.path.join(top, name)
            found.append((os.path.relpath(path, parent), path, os.path.isdir(path)))
    return sorted(found)


def mode_of(path, is_folder):
    return 0o755 if is_folder or os.stat(path).st_mode & stat.S_IXUSR else 0o644


def write_zip(output, items, epoch):
    # A zip stores local time without a zone; the epoch's UTC fields are what
    # every machine, in every zone, writes.
    date_time = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(output, "w") as archive:
        for name, path, is_folder in items:
            info = zipfile.ZipInfo(name + "/" if is_folder else name, date_time)
            info.create_system = 3
            info.external_attr = ((stat.S_IFDIR if is_folder else stat.S_IFREG) |
                                  mode_of(path, is_folder)) << 16
            if is_folder:
                info.external_attr |= 0x10  # the DOS folder flag
                archive.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    archive.writestr(info, f.read(), compresslevel=9)


def write_tar_gz(output, items, epoch):
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w", format=tarfile.GNU_FORMAT) as archive:
        for name, path, is_folder in items:
            info = tarfile.TarInfo(name)
            info.type = tarfile.DIRTYPE if is_folder else tarfile.REGTYPE
            info.mode = mode_of(path, is_folder)
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            info.mtime = epoch
            if is_folder:
                archive.addfile(info)
            else:
                info.size = os.path.getsize(path)
                with open(path, "rb") as f:
                    archive.addfile(info, f)
    # No file name and a fixed time in the gzip header.
    with open(output, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                  mtime=epoch, compresslevel=9) as packed:
        packed.write(data.getvalue())


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip())
    output, parent, folder = sys.argv[1:]
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    items = entries(parent, folder)
    if output.endswith(".zip"):
        write_zip(output, items, epoch)
    elif output.endswith(".tar.gz"):
        write_tar_gz(output, items, epoch)
    else:
        sys.exit("archive.py: %s: neither .zip nor .tar.gz" % output)


if __name__ == "__main__":
    main()
