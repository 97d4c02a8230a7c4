#!/usr/bin/env python3
"""Starts a Wine session ready for the tests' runs, making the prefix (WINEPREFIX) first if need be.

Wine's services start with the first Wine process of a session, inherit its standard streams and
hold them open until the session ends, seconds after its last process: a run that started them
would wait that long for the end of its output. Started here with no streams of the caller's,
and the session kept a while between runs, they leave every run's pipes alone.

    wine_session.py --runner wine       (as ctest's setup for the Windows build's tests)
"""

import argparse
import os
import subprocess

# Seconds the session outlives its last process: longer than any pause between a suite's runs,
# short enough that no server is left behind for long.
PERSISTENCE = 15


def start(runner, env=None):
    env = session_environment(env)
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL, "env": env, "timeout": 600}
    # Starts the session's server, unless one is running already (that one is kept). A runner that
    # is not Wine itself (the ARM64 build's tools/arm64-wine.sh) starts its own Wine's server.
    is_wine = os.path.basename(runner[0]) in ("wine", "wine64")
    server = ["wineserver"] if is_wine else runner + ["wineserver"]
    subprocess.run(server + ["-p%d" % PERSISTENCE], **quiet)
    subprocess.run(runner + ["wineboot", "-i"], **quiet)


def hold(runner, env=None):
    """Starts the session and keeps it up until the caller exits, however long its runs pause.

    A run that starts Wine's server itself hands it its streams, and one stopped by a signal
    before it reaches the server leaves it waiting for that first connection for good, holding
    the run's pipes: the caller would wait for their end forever. The session's server is kept
    by a Wine process of its own that waits for the end of its standard input, which only the
    caller holds (its exit, even by a signal, ends it)."""
    start(runner, env)
    return subprocess.Popen(runner + ["cmd", "/c", "set /p line="], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=session_environment(env))


def session_environment(env):
    return dict(os.environ if env is None else env, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--runner", action="append", required=True)
    start(parser.parse_args().runner)
