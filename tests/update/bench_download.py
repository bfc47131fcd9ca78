"""Download benchmark: a 50 MB package from a local server, through the running host's
install action (stopped before the hand-off by MRV_UPD_DRY_RUN) and through curl in the
same run. Prints the host's pct as it climbs, both times and their ratio. Never asserts
on time."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from updatekit import OLD_EXE, Host, ReleaseServer, install_host, pack, sign

SIZE = 50 * 1000 * 1000


def main():
    tmp = tempfile.mkdtemp(prefix="vantriel_bench_")
    try:
        release = os.path.join(tmp, "release")
        www = os.path.join(tmp, "www")
        os.makedirs(release)
        os.makedirs(www)
        shutil.copy2(OLD_EXE, os.path.join(release, "vantriel"))
        with open(os.path.join(release, "relleno.bin"), "wb") as fh:
            fh.write(os.urandom(SIZE))  # random: stored, so the package is > 50 MB
        package = os.path.join(www, "grande.zip")
        pack(release, package)
        server = ReleaseServer(www)
        server.document = sign(package, "9.9.9", server.url("grande.zip"), tmp)
        install = os.path.join(tmp, "inst", "Vantriel")
        install_host(install, OLD_EXE)
        host = Host(install, server.url("version.json"), {"MRV_UPD_DRY_RUN": "1"})
        try:
            host.update("check")
            state = host.wait_phase(("available", "error"))
            if state["phase"] != "available":
                sys.exit("check failed: " + state["msg"])
            samples = []
            host.token()
            start = time.monotonic()
            host.update("install")
            while True:
                state = host.update()
                now = time.monotonic() - start
                if state["phase"] != "downloading":
                    break
                samples.append((now, state["pct"]))
                if now > 300:
                    sys.exit("download did not finish in 300 s")
                time.sleep(0.02)
            app_seconds = time.monotonic() - start
            host.wait_phase(("installing", "error"), 120)
        finally:
            host.stop()

        out = os.path.join(tmp, "curl.bin")
        start = time.monotonic()
        subprocess.run(["curl", "-s", "-o", out, server.url("grande.zip")], check=True)
        curl_seconds = time.monotonic() - start
        server.close()

        size = os.path.getsize(package)
        climbing = sorted(set(p for _, p in samples))
        print("package: %d bytes" % size)
        print("pct seen while downloading (%d samples): %s" % (len(samples), climbing))
        print("host download: %.3f s (%.1f MB/s, includes polling granularity of ~20 ms)"
              % (app_seconds, size / app_seconds / 1e6))
        print("curl download: %.3f s (%.1f MB/s)" % (curl_seconds, size / curl_seconds / 1e6))
        print("ratio host/curl: %.2f" % (app_seconds / curl_seconds))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
