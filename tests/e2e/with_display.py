"""Runs a command on an X display of its own (an Xvfb started for it and stopped after),
with KF_WINDOW_TESTS=1 telling the tests inside that they may open windows; exits with
the command's exit code. For the Windows toolkit's own tests, run under Wine:

    python3 with_display.py scripts/wine-run kf_unit_tests.exe --gtest_filter=...
"""

import os
import subprocess
import sys

from harness import wineserver
from xserver import Xvfb, stop_displays_on_sigterm


def stop_wine():
    """A Wine server left on another display must not serve the command."""
    prefix = os.environ.get("KF_WINEPREFIX")
    if prefix:
        subprocess.run([wineserver(), "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                       timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    stop_displays_on_sigterm()
    server = Xvfb()
    stop_wine()
    try:
        env = dict(os.environ, DISPLAY=server.start(), KF_WINDOW_TESTS="1")
        return subprocess.run(sys.argv[1:], env=env, timeout=600).returncode
    finally:
        stop_wine()
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
