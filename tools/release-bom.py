#!/usr/bin/env python3
"""Writes the bill of materials of one release file, in CycloneDX 1.5 JSON.

    tools/release-bom.py --name NAME --version V --commit C --program FILE --out BOM.json
                         [--target windows|linux] [--licences FOLDER]

It names the program (with its SHA-256 and the commit it was built from), each library
built into it, each with its version and licence, and, for a Linux program, each shared
library it loads with the Debian package that provides it. A library built in names its
licence file in the release's licencias/ folder (property "vantriel:licence-file"); with
--licences, every such file must be there and the folder must hold no other licence, or
nothing is written. Every value comes from the build machine's headers and packages and
SOURCE_DATE_EPOCH, so the same build gives the same bytes.
"""
import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys
import uuid

# Licences of the shared libraries' Debian packages (SPDX expressions).
SHARED_LICENCES = {
    "libc6": "LGPL-2.1-or-later",
    "libstdc++6": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "libgcc-s1": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "libcurl4": "curl",
    "libx11-6": "MIT",
    "libxext6": "MIT",
    "libxi6": "MIT",
    "libxrandr2": "MIT",
    "libxrender1": "MIT",
    "libxtst6": "MIT",
    "libwayland-client0": "MIT",
    "libxkbcommon0": "MIT",
    "libsystemd0": "LGPL-2.1-or-later",
    "libsodium23": "ISC",
    "libssl3": "Apache-2.0",
    "zlib1g": "Zlib",
}

# The Wayland protocol definitions in third_party/wayland built into the Linux program.
WAYLAND_PROTOCOLS = [
    ("xdg-output protocol (wayland-protocols)", "1.31", "pkg:generic/wayland-protocols@1.31", "MIT"),
    ("wlr virtual pointer protocol (wlr-protocols)", "b010a03648b88d143236de193bddbfea0c08bc84",
     "pkg:github/swaywm/wlr-protocols@b010a03648b88d143236de193bddbfea0c08bc84", "MIT"),
    ("virtual keyboard protocol (wlroots)", "0855cdacb2eeeff35849e2e9c4db0aa996d78d10",
     "pkg:github/swaywm/wlroots@0855cdacb2eeeff35849e2e9c4db0aa996d78d10", "MIT"),
    ("wlr data control protocol (wlr-protocols)", "b010a03648b88d143236de193bddbfea0c08bc84",
     "pkg:github/swaywm/wlr-protocols@b010a03648b88d143236de193bddbfea0c08bc84",
     "HPND-sell-variant"),
]


def fail(message):
    print("release-bom: " + message, file=sys.stderr)
    sys.exit(1)


def read(path):
    with open(path, encoding="utf-8") as fh:
        return fh.read()


def boost_version():
    m = re.search(r"#define BOOST_VERSION (\d+)", read("/usr/include/boost/version.hpp"))
    if not m:
        fail("no BOOST_VERSION in /usr/include/boost/version.hpp")
    v = int(m.group(1))
    return "%d.%d.%d" % (v // 100000, v // 100 % 1000, v % 100)


def nlohmann_version():
    # Newer releases keep the version in detail/abi_macros.hpp, older ones in json.hpp.
    for header in ("/usr/include/nlohmann/detail/abi_macros.hpp", "/usr/include/nlohmann/json.hpp"):
        if not os.path.isfile(header):
            continue
        text = read(header)
        parts = [re.search(r"#define NLOHMANN_JSON_VERSION_%s (\d+)" % p, text) for p in ("MAJOR", "MINOR", "PATCH")]
        if all(parts):
            return ".".join(m.group(1) for m in parts)
    fail("no NLOHMANN_JSON_VERSION in /usr/include/nlohmann")


def manrope_version(source):
    m = re.match(r"Manrope (\S+)", read(os.path.join(source, "apps/vantriel/ui/font/LICENSE-manrope.txt")))
    return m.group(1) if m else None


def package_version(package):
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
    if out.returncode != 0 or not out.stdout:
        fail("the package %s is not installed: cannot name its version" % package)
    return out.stdout


def component(name, version, licence, kind="library", licence_file=None, purl=None):
    c = {"type": kind, "name": name}
    if version:
        c["version"] = version
    c["licenses"] = [{"expression": licence}]
    if purl:
        c["purl"] = purl
    if licence_file:
        c["properties"] = [{"name": "vantriel:licence-file", "value": licence_file}]
    return c


def shared_libraries(program):
    """(package, version) of each shared library the program needs, in a stable order."""
    out = subprocess.run(["readelf", "-d", program], capture_output=True, text=True, check=True).stdout
    sonames = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    packages = {}
    for soname in sonames:
        owner = subprocess.run(["dpkg", "-S", "*/x86_64-linux-gnu/" + soname], capture_output=True, text=True)
        # "libc6:amd64: /lib/x86_64-linux-gnu/libc.so.6"
        owners = sorted({line.split(":")[0] for line in owner.stdout.splitlines() if ": " in line})
        if owner.returncode != 0 or not owners:
            fail("no Debian package provides %s, which %s needs" % (soname, program))
        packages[owners[0]] = soname
    return sorted(packages)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--name", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--commit", required=True)
    ap.add_argument("--program", required=True)
    ap.add_argument("--target", choices=("windows", "linux"), required=True)
    ap.add_argument("--licences", help="the release's licencias/ folder, checked against the list")
    ap.add_argument("--font", action="store_true", help="the program carries the Manrope font")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

    with open(args.program, "rb") as fh:
        program_sha = hashlib.sha256(fh.read()).hexdigest()
    boost, nlohmann, manrope = boost_version(), nlohmann_version(), manrope_version(source)
    built_in = [
        component("Boost", boost, "BSL-1.0", licence_file="boost.txt", purl="pkg:generic/boost@" + boost),
        component("JSON for Modern C++", nlohmann, "MIT", licence_file="nlohmann-json.txt",
                  purl="pkg:github/nlohmann/json@v" + nlohmann),
    ]
    if args.font:
        built_in.append(component("Manrope", manrope, "OFL-1.1", kind="file", licence_file="manrope.txt",
                                  purl="pkg:npm/%40fontsource/manrope@" + (manrope or "")))
    loaded = []
    if args.target == "windows":
        gcc, mingw = package_version("g++-mingw-w64-x86-64-posix"), package_version("mingw-w64-common")
        built_in.append(component("GCC runtime libraries (libstdc++, libgcc)", gcc,
                                  "GPL-3.0-or-later WITH GCC-exception-3.1", licence_file="gcc-runtime.txt",
                                  purl="pkg:deb/debian/g++-mingw-w64-x86-64-posix@" + gcc))
        built_in.append(component("MinGW-w64 runtime", mingw, "ZPL-2.1", licence_file="mingw-w64.txt",
                                  purl="pkg:deb/debian/mingw-w64@" + mingw))
    else:
        # The client code wayland-scanner makes from third_party/wayland (its README names
        # where each definition comes from).
        for name, version, purl, licence in WAYLAND_PROTOCOLS:
            built_in.append(component(name, version, licence, licence_file="wayland-protocols.txt",
                                      purl=purl))
        for package in shared_libraries(args.program):
            if package not in SHARED_LICENCES:
                fail("%s needs a library of the package %s, whose licence this tool does not know: "
                     "add it to SHARED_LICENCES" % (args.program, package))
            version = package_version(package)
            c = component(package, version, SHARED_LICENCES[package],
                          purl="pkg:deb/debian/%s@%s?arch=amd64" % (package, version))
            c["scope"] = "required"
            c["description"] = "loaded from the system; not in the release"
            loaded.append(c)

    if args.licences is not None:
        named = {p["value"] for c in built_in for p in c.get("properties", [])}
        present = set(os.listdir(args.licences)) - {"LEEME.txt"}
        if named != present:
            fail("the licences folder %s and the bill of materials disagree: missing %s, unexplained %s"
                 % (args.licences, sorted(named - present) or "nothing", sorted(present - named) or "nothing"))

    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    serial = uuid.UUID(hashlib.sha256(("%s|%s|%s|%s" % (args.name, args.version, args.commit, program_sha))
                                      .encode()).hexdigest()[:32], version=5)
    bom = {
        "bomFormat": "CycloneDX",
        "specVersion": "1.5",
        "serialNumber": "urn:uuid:" + str(serial),
        "version": 1,
        "metadata": {
            "timestamp": when,
            "component": {
                "type": "application",
                "name": args.name,
                "version": args.version,
                "hashes": [{"alg": "SHA-256", "content": program_sha}],
                "properties": [{"name": "vantriel:commit", "value": args.commit},
                               {"name": "vantriel:file", "value": os.path.basename(args.program)}],
            },
        },
        "components": built_in + loaded,
    }
    with open(args.out, "w", encoding="utf-8") as fh:
        json.dump(bom, fh, indent=2, ensure_ascii=False, sort_keys=True)
        fh.write("\n")


if __name__ == "__main__":
    main()
