#!/usr/bin/env bash
# Wheel check: the wheel that `pip wheel .` builds here must carry manylinux_2_28 or an older
# tag by auditwheel's reading of the symbols it needs, so that a wheel built on a newer glibc
# still installs on every manylinux_2_28 system.  On failure it names the symbols that pull
# the tag up.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
newest=(2 28)

python3 -m venv "$work/venv"
"$work/venv/bin/pip" install -q auditwheel
"$work/venv/bin/pip" wheel -q . -w "$work/wheels" --no-deps
wheels=("$work"/wheels/mirvak-*.whl)
if [ "${#wheels[@]}" -ne 1 ] || [ ! -e "${wheels[0]}" ]; then
  echo "wheel: expected one mirvak wheel, found: ${wheels[*]}" >&2
  exit 1
fi
wheel=${wheels[0]}

# --json where auditwheel has it; else the text report, whose tag sentence may wrap.
if ! "$work/venv/bin/auditwheel" show --json "$wheel" >"$work/show.json" 2>"$work/show.err"; then
  "$work/venv/bin/auditwheel" show "$wheel" >"$work/show.txt" 2>>"$work/show.err" || {
    cat "$work/show.err" >&2
    exit 1
  }
fi
"$work/venv/bin/python" - "$wheel" "$work" "${newest[@]}" <<'PYTHON'
import json, os, re, subprocess, sys, zipfile

wheel, work, newest = sys.argv[1], sys.argv[2], tuple(map(int, sys.argv[3:5]))
# The legacy names are aliases of these glibc versions.
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def glibc(tag):
    """The glibc version a platform tag asks for, or None for a tag that is no manylinux."""
    match = re.match(r"manylinux_(\d+)_(\d+)_", tag)
    if match:
        return int(match[1]), int(match[2])
    return LEGACY.get(tag.split("_")[0])


try:
    with open(os.path.join(work, "show.json")) as handle:
        tag = json.load(handle)["overall_tag"]
except (OSError, ValueError, KeyError):
    text = " ".join(open(os.path.join(work, "show.txt")).read().split())
    found = re.search(r'is consistent with the following platform tag: "([^"]+)"', text)
    if not found:
        sys.exit(f"wheel: no platform tag in auditwheel's report:\n{text}")
    tag = found[1]

version = glibc(tag)
print(f"wheel: {os.path.basename(wheel)}: auditwheel's tag {tag}")
if version is not None and version <= newest:
    sys.exit(0)

# Name the culprits: the dynamic symbols whose glibc version is newer than allowed.
with zipfile.ZipFile(wheel) as archive:
    for name in archive.namelist():
        if name.endswith(".so"):
            archive.extract(name, work)
            listing = subprocess.run(["objdump", "-T", os.path.join(work, name)],
                                     capture_output=True, text=True).stdout
            for line in listing.splitlines():
                symbol = re.search(r"\(GLIBC_(\d+)\.(\d+)(?:\.\d+)?\)\s+(\S+)$", line)
                if symbol and (int(symbol[1]), int(symbol[2])) > newest:
                    print(f"wheel:   {name}: {symbol[3]} needs GLIBC_{symbol[1]}.{symbol[2]}",
                          file=sys.stderr)
sys.exit(f"wheel: {tag} is not manylinux_{newest[0]}_{newest[1]} or older")
PYTHON
