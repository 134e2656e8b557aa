#!/usr/bin/env python3
"""Writes a Pictures folder of every image format shotsieve reads, made by real encoders.

usage: bench/formats_library.py ROOT [FILES]   (default 3000 files)

WebP (lossy and lossless, Exif and XMP chunks after the image data, as the
format places them), HEIC and AVIF (heif-enc and avifenc, Exif from the
source), TIFF (ImageMagick writes its directory after the image data), BMP,
GIF, PNGs whose eXIf, XMP and "Creation Time" chunks come after the image
data, baseline and progressive JPEGs with a large Exif thumbnail, and files
that are no image under image names; in deep trees as well as in year and
month folders, with file times over two years and a few screenshots today.
Every file is written out in full (no holes), so a cold run reads the disk.
Deterministic for a given FILES.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SIZES = [(1920, 1080), (1280, 800), (2400, 1600), (1600, 1200), (1080, 2400), (800, 600)]
XMP = ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/">'
       '<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" '
       'xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:CreateDate="{date}" xmp:Rating="{rating}"/>'
       '</rdf:RDF></x:xmpmeta><?xpacket end="w"?>')


def tool(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def exif(date, thumbnail=b"", comment=b""):
    """Exif in TIFF form: DateTimeOriginal, a user comment, a JPEG thumbnail in IFD1."""
    def ifd(entries, start, next_ifd):
        data = b""
        body = struct.pack("<H", len(entries))
        values_at = start + 2 + 12 * len(entries) + 4
        for tag, kind, count, value in entries:
            if isinstance(value, bytes) and len(value) > 4:
                body += struct.pack("<HHII", tag, kind, count, values_at + len(data))
                data += value + (b"\0" if len(value) % 2 else b"")
            elif isinstance(value, bytes):
                body += struct.pack("<HHI", tag, kind, count) + value.ljust(4, b"\0")
            else:
                body += struct.pack("<HHII", tag, kind, count, value)
        return body + struct.pack("<I", next_ifd) + data

    date_text = date.encode() + b"\0"
    exif_entries = [(0x9003, 2, len(date_text), date_text)]
    if comment:
        exif_entries.append((0x9286, 7, 8 + len(comment), b"ASCII\0\0\0" + comment))
    exif_at = 8 + 2 + 12 + 4
    exif_ifd = ifd(exif_entries, exif_at, 0)
    ifd1_at = exif_at + len(exif_ifd) if thumbnail else 0
    ifd0 = ifd([(0x8769, 4, 1, exif_at)], 8, ifd1_at)
    out = b"II*\0" + struct.pack("<I", 8) + ifd0 + exif_ifd
    if thumbnail:
        thumb_at = ifd1_at + 2 + 12 * 3 + 4
        out += ifd([(0x0103, 3, 1, 6), (0x0201, 4, 1, thumb_at), (0x0202, 4, 1, len(thumbnail))], ifd1_at, 0)
        out += thumbnail
    return out


def with_app1(jpeg, payload):
    return jpeg[:2] + b"\xFF\xE1" + struct.pack(">H", len(payload) + 8) + b"Exif\0\0" + payload + jpeg[2:]


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png_metadata_after_data(png, exif_bytes, xmp, creation):
    """The chunks that say the date and marks moved after the last IDAT."""
    end = png.rindex(b"IEND") - 4
    extra = (png_chunk(b"eXIf", exif_bytes) + png_chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + xmp.encode())
             + png_chunk(b"tEXt", b"Creation Time\0" + creation.encode()))
    return png[:end] + extra + png[end:]


def webp_with_metadata(webp, width, height, exif_bytes, xmp):
    """An extended WebP: VP8X first, then the image chunks, then EXIF and XMP."""
    chunks, at = [], 12
    while at + 8 <= len(webp):
        kind, size = webp[at:at + 4], struct.unpack("<I", webp[at + 4:at + 8])[0]
        chunks.append((kind, webp[at + 8:at + 8 + size]))
        at += 8 + size + (size & 1)
    flags = 0x08 | 0x04 | (0x10 if any(kind == b"ALPH" for kind, _ in chunks) else 0)
    vp8x = bytes([flags, 0, 0, 0]) + (width - 1).to_bytes(3, "little") + (height - 1).to_bytes(3, "little")
    body = b""
    for kind, data in [(b"VP8X", vp8x)] + [c for c in chunks if c[0] not in (b"VP8X", b"EXIF", b"XMP ")] + \
            [(b"EXIF", exif_bytes), (b"XMP ", xmp.encode())]:
        body += kind + struct.pack("<I", len(data)) + data + (b"\0" if len(data) & 1 else b"")
    return b"RIFF" + struct.pack("<I", 4 + len(body)) + b"WEBP" + body


def make_variants(scratch, rng):
    """(extension, bytes) of every kind, a few sizes each."""
    variants = []
    for v, (width, height) in enumerate(SIZES):
        base = os.path.join(scratch, f"base{v}")
        tool("convert", "-size", f"{width}x{height}", "-seed", str(v + 1), "plasma:", "-blur", "0x1", "-depth", "8",
             f"PNG24:{base}.png")
        date = f"20{24 + v % 2}:0{1 + v}:1{v} 1{v}:2{v}:3{v}"
        tool("convert", f"{base}.png", "-resize", "320x240", "-quality", "95", f"{base}-thumb.jpg")
        thumbnail = open(f"{base}-thumb.jpg", "rb").read()
        plain = exif(date, comment=b"Screenshot" if v % 3 == 0 else b"")
        with_thumb = exif(date, thumbnail=thumbnail)
        xmp = XMP.format(date=date.replace(":", "-", 2).replace(" ", "T"), rating=5 if v % 4 == 0 else 3)
        tool("convert", f"{base}.png", "-quality", "90", f"{base}.jpg")
        tool("convert", f"{base}.png", "-quality", "90", "-interlace", "JPEG", f"{base}-progressive.jpg")
        jpeg = with_app1(open(f"{base}.jpg", "rb").read(), with_thumb)
        variants.append(("jpg", jpeg))
        variants.append(("jpg", with_app1(open(f"{base}-progressive.jpg", "rb").read(), with_thumb)))
        variants.append(("png", png_metadata_after_data(open(f"{base}.png", "rb").read(), plain, xmp,
                                                        date.replace(":", "-", 2))))
        lossless = ["-define", "webp:lossless=true"] if v % 2 else ["-quality", "80"]
        tool("convert", f"{base}.png", "-strip", *lossless, f"{base}.webp")
        variants.append(("webp", webp_with_metadata(open(f"{base}.webp", "rb").read(), width, height, plain, xmp)))
        tool("convert", f"{base}.png", "-compress", "lzw", f"{base}.tif")
        variants.append(("tif", open(f"{base}.tif", "rb").read()))
        tool("convert", f"{base}.png", f"BMP3:{base}.bmp")
        variants.append(("bmp", open(f"{base}.bmp", "rb").read()))
        tool("convert", f"{base}.png", "-colors", "128", f"{base}.gif")
        variants.append(("gif", open(f"{base}.gif", "rb").read()))
        with open(f"{base}-exif.jpg", "wb") as f:
            f.write(with_app1(open(f"{base}.jpg", "rb").read(), plain))
        if shutil.which("heif-enc"):
            tool("heif-enc", "-q", "50", f"{base}-exif.jpg", "-o", f"{base}.heic")
            variants.append(("heic", open(f"{base}.heic", "rb").read()))
        if shutil.which("avifenc"):
            with open(f"{base}.exif", "wb") as f:
                f.write(plain)
            tool("avifenc", "-s", "9", "--exif", f"{base}.exif", f"{base}.png", f"{base}.avif")
            variants.append(("avif", open(f"{base}.avif", "rb").read()))
        for ext in ("jpg", "png", "heic"):  # no image under an image's name
            variants.append((ext, rng.randbytes(rng.randrange(200_000, 2_000_000))))
    return variants


def folder_for(rng, i, when):
    day = time.gmtime(when)
    kind = rng.random()
    if kind < 0.15:  # a deep tree, as exports and backups nest them
        return os.path.join("Archive", *[f"level{d}" for d in range(rng.randrange(4, 14))], f"{day.tm_year}")
    if kind < 0.45:
        return os.path.join("Camera", f"{day.tm_year}", f"{day.tm_mon:02d}", f"{day.tm_mday:02d}")
    if kind < 0.65:
        return os.path.join("Screenshots", f"{day.tm_year}-{day.tm_mon:02d}")
    return os.path.join(f"{day.tm_year}", f"{day.tm_mon:02d}")


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 64
    root, files = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 3000
    rng = random.Random(files)
    with tempfile.TemporaryDirectory() as scratch:
        variants = make_variants(scratch, rng)
    now = time.time()
    total = 0
    for i in range(files):
        ext, data = variants[i % len(variants)]
        today = i < 10  # a few screenshots today, for list-today to answer with
        when = now - rng.uniform(0, 3600) if today else now - rng.uniform(2, 730) * 86400
        folder = os.path.join(root, "Screenshots" if today else folder_for(rng, i, when))
        os.makedirs(folder, exist_ok=True)
        name = time.strftime("Screenshot from %Y-%m-%d %H-%M-%S", time.localtime(when)) if today or i % 5 == 0 \
            else f"IMG_{i:06d}"
        path = os.path.join(folder, f"{name}-{i}.{ext}")
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (when, when))
        total += len(data)
    print(f"{files} files of {len(variants)} kinds, {total / 1e9:.2f} GB, in {root}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
