"""The README's samples of "When plugins misbehave" against the sample plugins under examples/:
each `$ command` of the section, run through the shell with the plugins installed, prints what
the README shows (timings and the installation's directories aside)."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import mirvak
from helpers import REPO, pip_install

PREFIX = "/tmp/demo/.venv/lib/python3.11/site-packages"  # where the README's samples ran
TIMING = re.compile(r"\d+\.\d ms")


def section_samples():
    """[(command, expected output)] of the section, in order; `echo $?` expects a status."""
    with open(os.path.join(REPO, "README.md")) as handle:
        text = handle.read()
    section = text.split("\n## When plugins misbehave\n", 1)[1].split("\n## ", 1)[0]
    blocks, block = [], None
    for line in section.split("\n"):
        if line.startswith("```"):
            blocks, block = (blocks + [block], None) if block is not None else (blocks, [])
        elif block is not None:
            block.append(line)
    samples = []
    for block in blocks:
        for chunk in re.split(r"^\$ ", "\n".join(block), flags=re.M)[1:]:
            command, _, output = chunk.partition("\n")
            samples.append((command, output.rstrip("\n")))
    return samples


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = tmp_path_factory.mktemp("samples")
    sources = [os.path.join(REPO, "examples", "external_plugin")] + sorted(
        entry.path for entry in os.scandir(os.path.join(REPO, "examples", "misbehaving"))
        if entry.is_dir())
    copies = []
    for source in sources:  # built out of the repository, leaving no build files there
        copies.append(root / "src" / os.path.basename(source))
        shutil.copytree(source, copies[-1], ignore=shutil.ignore_patterns("build", "*.egg-info"))
    return pip_install(root / "site", *copies)


@pytest.mark.skipif(sys.version_info < (3, 10),
                    reason="3.9's entry points know no distribution: another load order")
def test_readme_samples_are_what_the_sample_plugins_print(site):
    samples = section_samples()
    assert len(samples) >= 10
    env = {k: v for k, v in os.environ.items() if not k.startswith("MIRVAK_")}
    env.update(PYTHONPATH=str(site),
               PATH=os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", ""))
    installed = os.path.dirname(os.path.dirname(os.path.abspath(mirvak.__file__)))
    status = None
    for command, expected in samples:
        if command == "echo $?":
            assert str(status) == expected
            continue
        res = subprocess.run(["sh", "-c", command], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, env=env, timeout=120,
                             cwd=os.path.join(REPO, "tests"))
        status = res.returncode
        output = res.stdout.replace(str(site), PREFIX).replace(installed, PREFIX).rstrip("\n")
        assert TIMING.sub("N ms", output) == TIMING.sub("N ms", expected), command
