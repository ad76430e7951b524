"""The installed module: `cmake --install` puts it into the interpreter's
package directory under the prefix, and it loads the installed libraries
through its run path, not the build tree's."""

import os
import subprocess
import sys

import pytest

BUILD_DIR = os.environ.get("TARVEX_BUILD_DIR")
PACKAGE_DIR = os.environ.get("TARVEX_PYTHON_INSTALL_DIR", "")
CMAKE = os.environ.get("TARVEX_CMAKE", "cmake")

pytestmark = pytest.mark.skipif(not BUILD_DIR or not PACKAGE_DIR or os.path.isabs(PACKAGE_DIR),
                                reason="run by CTest, with the install directory relative to the prefix")

PROBE = """
import tarvex
link = tarvex.Link()
print(tarvex.__file__)
print(tarvex.status_name(tarvex.ERR_NO_SPACE))
with open("/proc/self/maps") as maps:
    print("\\n".join(sorted({line.split()[-1] for line in maps if "libtarvex" in line})))
"""


def test_installed_module_uses_the_installed_libraries(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", str(prefix)], check=True, capture_output=True,
                   timeout=120)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    env["PYTHONPATH"] = str(prefix / PACKAGE_DIR)
    # Run elsewhere than the build tree: "-c" puts the working directory first on the path.
    run = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, timeout=60,
                         cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    module, status, *libraries = run.stdout.split()
    assert module.startswith(str(prefix / PACKAGE_DIR) + "/tarvex.")
    assert status == "ERR_NO_SPACE"
    names = {os.path.basename(lib).split(".so")[0] for lib in libraries}
    assert names == {"libtarvex", "libtarvex_event_util", "libtarvex_ringbuf"}
    assert all(lib.startswith(str(prefix) + "/") for lib in libraries), libraries
