#!/usr/bin/env python3
"""Rewrites a ZIP archive so that the same entries always give the same bytes.

    deterministic-zip.py [--epoch SECONDS] ARCHIVE [OUTPUT]

Entries keep their names and contents and are written in name order, every
one with the time SECONDS (UTC, default 1980-01-01 00:00), Unix attributes
0755 for folders and 0644 for files, no extra fields (no owner, no access
time) and the same compression (deflate, level 9; folders stored). OUTPUT
defaults to ARCHIVE, replaced once the new archive is complete.
"""
import argparse
import os
import sys
import tempfile
import time
import zipfile

ZIP_EARLIEST = 315532800  # 1980-01-01 00:00:00 UTC


def dos_time(epoch):
    # A ZIP time has no zone and starts in 1980; two-second steps.
    stamp = time.gmtime(max(epoch, ZIP_EARLIEST))
    return stamp[:5] + (stamp.tm_sec - stamp.tm_sec % 2,)


def rewrite(source, target, epoch):
    when = dos_time(epoch)
    with zipfile.ZipFile(source) as old:
        entries = [(info.filename, info.is_dir(), old.read(info)) for info in old.infolist()]
    names = [name for name, _, _ in entries]
    if len(set(names)) != len(names):
        raise SystemExit(f"{source}: an entry name occurs twice")
    entries.sort(key=lambda entry: entry[0].encode("utf-8"))
    folder = os.path.dirname(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix=".zip-", dir=folder)
    os.close(handle)
    try:
        with zipfile.ZipFile(temporary, "w") as new:
            for name, is_dir, data in entries:
                info = zipfile.ZipInfo(name, date_time=when)
                info.create_system = 3  # Unix, so that the attributes below are read
                if is_dir:
                    info.external_attr = (0o40755 << 16) | 0x10
                    info.compress_type = zipfile.ZIP_STORED
                    new.writestr(info, b"")
                else:
                    info.external_attr = 0o100644 << 16
                    info.compress_type = zipfile.ZIP_DEFLATED
                    new.writestr(info, data, compresslevel=9)
        # mkstemp makes the file private; the archive gets the source's mode.
        os.chmod(temporary, os.stat(source).st_mode & 0o777)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epoch", type=int, default=ZIP_EARLIEST)
    parser.add_argument("archive")
    parser.add_argument("output", nargs="?")
    args = parser.parse_args()
    rewrite(args.archive, args.output or args.archive, args.epoch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
