#!/usr/bin/env python3
"""Writes the release-server fixture tree under sim/release/.

The tree has the layout of the real release server for the four channels: the
application manifest with its installer, the firmware manifest, list, images and
their checksum files, and the production boot image. Images are small and
deterministic; each declares its version (NERRA_FW_VERSION=) and USB update support
(NERRA_OTA_USB=), which the simulated instrument reads when it installs one.
The application manifests name their files relative to themselves, so the tree works
both served over HTTP and read from disk. Run again after changing the releases below.
"""
import hashlib
import json
import os
import shutil

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "release")

CHANNELS = {
    # channel: (application version, firmware manifest text, firmware versions, extra list lines)
    "prod": ("1.6.0", "1.5.0\n", ["1.4.2", "1.5.0"], []),
    "qa": ("1.6.1", "1.6.0\n", ["1.5.0", "1.6.0"], []),
    "mfg": ("1.6.1", "1.6.0\n", ["1.5.0", "1.6.0"], []),
    "dev": ("1.7.0", "v1.7.0-dev\n", ["1.6.0", "1.7.0"], ["release-notes.txt"]),
}
BOOT_IMAGE = "NerraBoot-1.0.2.bin"


def payload(seed, size):
    data = b""
    block = seed.encode()
    while len(data) < size:
        block = hashlib.sha256(block).digest()
        data += block
    return data[:size]


def firmware_image(version):
    header = f"NERRA_FW_VERSION={version}\nNERRA_OTA_USB=1\n".encode()
    size = 3000 + sum(int(part) for part in version.split(".")) * 97
    return header + payload("firmware " + version, size - len(header))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def md5(data):
    return hashlib.md5(data).hexdigest()


def main():
    shutil.rmtree(ROOT, ignore_errors=True)
    for channel, (app_version, manifest, versions, extra) in CHANNELS.items():
        base = os.path.join(ROOT, f"nerra-{channel}")
        installer_name = f"NerraDesktop-Setup-{app_version}.exe"
        installer = b"MZ" + payload("installer " + app_version, 2046)
        write(os.path.join(base, "app", installer_name), installer)
        write(os.path.join(base, "app", f"notes-{app_version}.html"),
              f"<html><body><h1>Nerra Desktop {app_version}</h1></body></html>\n")
        latest = {
            "version": app_version,
            "notes_url": f"notes-{app_version}.html",
            "url_windows": installer_name,
            "md5_windows": md5(installer).upper(),
        }
        write(os.path.join(base, "app", "latest.json"), json.dumps(latest, indent=2) + "\n")

        listing = []
        for version in versions:
            name = f"NerraFirmware-{version}.bin"
            image = firmware_image(version)
            write(os.path.join(base, "firmware", name), image)
            write(os.path.join(base, "firmware", f"NerraFirmware-{version}.md5"), f"{md5(image)}  {name}\n")
            listing += [name, f"NerraFirmware-{version}.md5"]
        write(os.path.join(base, "firmware", "manifest.txt"), manifest)
        write(os.path.join(base, "firmware", "list.txt"), "\n".join(listing + extra) + "\n")

    boot = b"\xe9\x03\x02\x20" + payload("boot image", 2044)
    write(os.path.join(ROOT, "nerra-prod", "boot", BOOT_IMAGE), boot)
    write(os.path.join(ROOT, "nerra-prod", "boot", BOOT_IMAGE[:-4] + ".md5"), md5(boot) + "\n")
    write(os.path.join(ROOT, "nerra-prod", "boot", "manifest.txt"), BOOT_IMAGE + "\n")


if __name__ == "__main__":
    main()
