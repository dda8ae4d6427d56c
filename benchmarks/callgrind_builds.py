"""Where each measured CPython series runs, and the builds of the package
measured on it, for callgrind_goals.py.

A target is a series as BENCH_SERIES names it (tools/matrix, its series
and bench lines): "X.Y" runs here when tools/find-python.sh finds it, else
in the native Debian root that ships it; "X.Y-RELEASE" is that release's
CPython in its root even when the host has the series. A root's targets
are measured by this same script run inside the root, with the work tree
mounted at its own path.

Each build of a target has a venv and a build directory of its own, named
by tools/matrix and made through `make install`: the default build's are
those of `make test-all`; the generic build (MERROW_GENERIC_STATE=ON) and
each shortcut left out (MERROW_SHORTCUTS_OFF) add "-NAME" to both.
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
MATRIX = os.path.join(REPO, "tools", "matrix")
# Roots are entered natively only: an emulated interpreter's instruction
# counts would say nothing about the nodes' processors anyway.
ROOT_ARCH = "amd64"

Build = collections.namedtuple("Build", "name defines")

DEFAULT = Build("default", ())
GENERIC = Build("generic", ("MERROW_GENERIC_STATE=ON",))
# The shortcuts CMakeLists.txt's MERROW_SHORTCUTS_OFF knows.
SHORTCUTS = ("state_cache", "global_cache", "direct_setattr", "lock_direct_calls", "inline_values")
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


def read_matrix(path=MATRIX):
    """tools/matrix: the targets in order, the roots of each series, the
    series and release of each bench target, the venv and build directory
    names by place."""
    table = {"targets": [], "roots": {}, "bench": {}, "venv": {}, "build": {}}
    with open(path, encoding="utf-8") as f:
        for line in f:
            kind, *words = line.split("#")[0].split() or [None]
            if kind in ("series", "bench"):
                table["targets"].append(words[0])
            if kind == "series":
                table["roots"][words[0]] = words[1:]
            elif kind == "bench":
                table["bench"][words[0]] = (words[1], words[2].split("/")[0])
            elif kind in ("venv", "build"):
                table[kind][words[0]] = words[1]
    return table


class Target(collections.namedtuple("Target", "name series release")):
    """name as written ("3.14", "3.13-trixie"); release None for the host."""

    def name_of(self, kind, build):
        template = read_matrix()[kind]["root" if self.release else "host"]
        variant = "" if build is DEFAULT else f"-{build.name}"
        for key, value in (("series", self.series), ("release", self.release), ("variant", variant)):
            template = template.replace("{%s}" % key, value or "")
        return template

    def venv(self, build):
        return self.name_of("venv", build)

    def build_settings(self, build):
        settings = [f"--config-settings=build-dir={self.name_of('build', build)}"]
        settings += [f"--config-settings=cmake.define.{define}" for define in build.defines]
        return " ".join(settings)


TARGET_WORD = re.compile(r"^(3\.\d+)(?:-([a-z]+))?$")


def say(text):
    print(f"[callgrind] {text}", file=sys.stderr, flush=True)


def resolve(words, inside=None):
    """Targets for the BENCH_SERIES words, host ones first, then each root's
    in the order first named; words found nowhere are reported and left out.
    Inside a root (inside=RELEASE) every word is that root's."""
    matrix = read_matrix()
    targets, roots = [], matrix["roots"]
    for word in words:
        match = TARGET_WORD.match(word)
        if not match:
            raise ValueError(f"{word!r}: expected X.Y or X.Y-RELEASE, e.g. 3.13-trixie")
        series, release = matrix["bench"].get(word, match.groups())
        if inside:
            targets.append(Target(word, series, inside))
            continue
        native = [root.split("/")[0] for root in roots.get(series, ()) if root.endswith("/" + ROOT_ARCH)]
        if release is None and subprocess.run([FIND_PYTHON, series], capture_output=True,
                                              stdin=subprocess.DEVNULL).returncode == 0:
            targets.append(Target(word, series, None))
        elif release in native or (release is None and native):
            targets.append(Target(word, series, release or native[0]))
        else:
            say(f"skipping {word}: " + (f"no {release}/{ROOT_ARCH} root ships CPython {series}" if release
                                        else f"neither pyenv nor PATH has CPython {series}, nor a root"))
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
