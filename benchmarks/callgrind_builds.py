"""Where each measured CPython series runs, and the builds of the package
measured on it, for callgrind_goals.py.

A target is a series as BENCH_SERIES names it: "X.Y" runs here when
tools/find-python.sh finds it, else in the native Debian root that ships
it (tools/debian-root/debian-root); "X.Y-RELEASE" is that release's CPython
in its root even when the host has the series (3.13-trixie). A root's
targets are measured by this same script run inside the root, with the
work tree mounted at its own path.

Each build of a target has a venv and a build directory of its own, made
through `make install`: the default build in .venv-X.Y and build/{wheel_tag}
as `make test` makes them; the generic build (MERROW_GENERIC_STATE=ON) and
each shortcut left out (MERROW_SHORTCUTS_OFF) in .venv-X.Y-NAME and
build/{wheel_tag}-NAME. In a root every name starts with the release
(.venv-forky-3.14-generic, build/forky-{wheel_tag}-generic), so that no
host build or venv is touched.
"""

import collections
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
FIND_PYTHON = os.path.join(REPO, "tools", "find-python.sh")
DEBIAN_ROOT = os.path.join(REPO, "tools", "debian-root", "debian-root")
# Roots are entered natively only: an emulated interpreter's instruction
# counts would say nothing about the nodes' processors anyway.
ROOT_ARCH = "amd64"

Build = collections.namedtuple("Build", "name defines")

DEFAULT = Build("default", ())
GENERIC = Build("generic", ("MERROW_GENERIC_STATE=ON",))
# The shortcuts CMakeLists.txt's MERROW_SHORTCUTS_OFF knows.
SHORTCUTS = ("state_memory", "global_memory", "direct_setattr", "lock_direct_calls")
WITHOUT = tuple(Build(f"without-{name}", (f"MERROW_SHORTCUTS_OFF={name}",)) for name in SHORTCUTS)


def builds(shortcuts=()):
    """The default and generic builds, and one per shortcut named."""
    unknown = set(shortcuts) - set(SHORTCUTS)
    if unknown:
        raise ValueError(f"unknown shortcut {', '.join(sorted(unknown))} (known: {', '.join(SHORTCUTS)})")
    return (DEFAULT, GENERIC) + tuple(b for b in WITHOUT if shortcut_of(b.name) in shortcuts)


def shortcut_of(build_name):
    """The shortcut a build leaves out, or None."""
    return build_name[len("without-"):] if build_name.startswith("without-") else None


class Target(collections.namedtuple("Target", "name series release")):
    """name as written ("3.14", "3.13-trixie"); release None for the host."""

    @property
    def prefix(self):
        return f"{self.release}-" if self.release else ""

    def venv(self, build):
        suffix = "" if build is DEFAULT else f"-{build.name}"
        return f".venv-{self.prefix}{self.series}{suffix}"

    def build_settings(self, build):
        suffix = "" if build is DEFAULT else f"-{build.name}"
        settings = [f"--config-settings=build-dir=build/{self.prefix}{{wheel_tag}}{suffix}"]
        settings += [f"--config-settings=cmake.define.{define}" for define in build.defines]
        return " ".join(settings)


TARGET_WORD = re.compile(r"^(3\.\d+)(?:-([a-z]+))?$")


def say(text):
    print(f"[callgrind] {text}", file=sys.stderr, flush=True)


def _quiet(command):
    done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout.strip(), done.stderr.strip()


def root_series(release):
    code, out, err = _quiet([DEBIAN_ROOT, "series", release, ROOT_ARCH])
    if code != 0:
        raise LookupError(err or f"no {release}/{ROOT_ARCH} root is known")
    return out.split()


def resolve(words, inside=None):
    """Targets for the BENCH_SERIES words, host ones first, then each root's
    in the order first named; words found nowhere are reported and left out.
    Inside a root (inside=RELEASE) every word is that root's."""
    targets = []
    for word in words:
        match = TARGET_WORD.match(word)
        if not match:
            raise ValueError(f"{word!r}: expected X.Y or X.Y-RELEASE, e.g. 3.13-trixie")
        series, release = match.groups()
        if inside:
            targets.append(Target(word, series, inside))
            continue
        try:
            if release is None and _quiet([FIND_PYTHON, series])[0] == 0:
                targets.append(Target(word, series, None))
                continue
            if release is None:
                code, out, _ = _quiet([DEBIAN_ROOT, "shipping", series])
                if code != 0:
                    raise LookupError(f"neither pyenv nor PATH has CPython {series}, nor a known root")
                release = out.split()[0]
            elif series not in root_series(release):
                raise LookupError(f"Debian {release} ships CPython {' '.join(root_series(release))}, "
                                  f"not {series}")
        except (LookupError, OSError) as error:
            say(f"skipping {word}: {error}")
            continue
        targets.append(Target(word, series, release))
    order = {None: 0}
    for target in targets:
        order.setdefault(target.release, len(order))
    return sorted(targets, key=lambda t: order[t.release])


def install(target, build):
    """Builds the package into the build's venv through `make install`
    (which makes the venv first); returns the venv's interpreter."""
    venv = target.venv(build)
    say(f"CPython {target.name}: {build.name} build into {venv}")
    subprocess.run(["make", "-C", REPO, "--no-print-directory", f"PY_SERIES={target.series}",
                    f"VENV={venv}", f"BUILD_SETTINGS={target.build_settings(build)}", "install"],
                   check=True, stdout=sys.stderr, stdin=subprocess.DEVNULL)
    return os.path.join(REPO, venv, "bin", "python")


def run_in_root(release, series, argv):
    """Runs this benchmark script with argv inside the release's root, on
    that root's own CPython; returns its exit status."""
    script = os.path.relpath(os.path.join(HERE, "callgrind_goals.py"), REPO)
    command = [DEBIAN_ROOT, "run", "--tree", release, ROOT_ARCH, "--",
               f"/usr/bin/python{series}", script, "--inside", release, *argv]
    say(f"entering the {release}/{ROOT_ARCH} root (tools/debian-root)")
    return subprocess.run(command, stdin=subprocess.DEVNULL).returncode
