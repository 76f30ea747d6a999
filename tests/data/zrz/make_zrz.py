#!/usr/bin/env python3
"""Makes test archives with Python's own tarfile and zipfile modules.

usage: make_zrz.py OUT FORMAT SPEC_JSON
FORMAT: tar, tar.gz, tar.xz, tar.zst (plain tar compressed by the zstd tool), zip.
SPEC_JSON: a list of entries, each {"name", "type", ...}:
  file     "data" (text), optional "mode" (integer), optional "size" (zero bytes)
  dir      optional "mode"
  symlink  "target"
  hardlink "target"
  chr, blk device nodes; fifo
Entries are written in the order given, names exactly as given.
"""
import io
import json
import subprocess
import sys
import tarfile
import zipfile

TYPES = {"dir": tarfile.DIRTYPE, "symlink": tarfile.SYMTYPE, "hardlink": tarfile.LNKTYPE,
         "chr": tarfile.CHRTYPE, "blk": tarfile.BLKTYPE, "fifo": tarfile.FIFOTYPE}


def content(entry):
    if "size" in entry:
        return b"\0" * entry["size"]
    return entry.get("data", "").encode()


def write_tar(out, mode, entries):
    with tarfile.open(out, mode, format=tarfile.PAX_FORMAT) as tar:
        for e in entries:
            info = tarfile.TarInfo(e["name"])
            info.mtime = 1700000000
            info.uid, info.gid = 4242, 4242
            if e["type"] == "file":
                data = content(e)
                info.size = len(data)
                info.mode = e.get("mode", 0o644)
                tar.addfile(info, io.BytesIO(data))
                continue
            info.type = TYPES[e["type"]]
            info.mode = e.get("mode", 0o755)
            info.linkname = e.get("target", "")
            if e["type"] in ("chr", "blk"):
                info.devmajor, info.devminor = 1, 3
            tar.addfile(info)


def write_zip(out, entries):
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for e in entries:
            if e["type"] == "dir":
                info = zipfile.ZipInfo(e["name"].rstrip("/") + "/")
                info.external_attr = (0o40000 | e.get("mode", 0o755)) << 16
                z.writestr(info, b"")
            elif e["type"] == "file":
                info = zipfile.ZipInfo(e["name"])
                info.external_attr = (0o100000 | e.get("mode", 0o644)) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, content(e))
            elif e["type"] == "symlink":
                info = zipfile.ZipInfo(e["name"])
                info.external_attr = (0o120000 | 0o777) << 16
                z.writestr(info, e["target"].encode())
            else:
                raise SystemExit("zip cannot hold " + e["type"])


def main():
    out, fmt, spec = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    if fmt == "zip":
        write_zip(out, spec)
    elif fmt == "tar.zst":
        write_tar(out + ".tar", "w", spec)
        subprocess.run(["zstd", "-q", "-f", "--rm", out + ".tar", "-o", out], check=True)
    else:
        write_tar(out, {"tar": "w", "tar.gz": "w:gz", "tar.xz": "w:xz"}[fmt], spec)


main()
