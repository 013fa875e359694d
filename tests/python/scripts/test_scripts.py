"""The shell scripts that install the package and find its environment."""

import os
import pathlib
import shutil
import subprocess

BASH = shutil.which("bash")
ROOT = pathlib.Path(__file__).resolve().parents[3]
SCRIPTS = ROOT / "scripts"


def executable(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n" + text)
    path.chmod(0o755)
    return path


def bash(command, env):
    return subprocess.run(
        [BASH, "-c", command],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )


def environment(**changes):
    env = {k: v for k, v in os.environ.items() if k != "VIRTUAL_ENV"}
    env.update({k: str(v) for k, v in changes.items()})
    return env


def with_env_sh(body, env):
    return bash(f'. "{SCRIPTS}/env.sh"; {body}', env)


def fake_venv(tmp_path, base_prefix):
    venv = tmp_path / "venv"
    executable(venv / "bin" / "python", f"echo {base_prefix}\n")
    return venv


def test_environment_is_the_active_one_or_the_projects_own(tmp_path):
    active = with_env_sh("zarn_env_dir", environment(VIRTUAL_ENV=tmp_path))
    assert active.stdout == f"{tmp_path}\n"
    inactive = with_env_sh("zarn_env_dir", environment(VIRTUAL_ENV=""))
    assert inactive.stdout == f"{ROOT}/.venv\n"


def test_debian_interpreter_brings_its_venv_and_header_packages(tmp_path):
    debian = with_env_sh(
        "zarn_system_packages", environment(VIRTUAL_ENV=fake_venv(tmp_path, "/usr"))
    )
    assert debian.returncode == 0
    assert debian.stdout.split()[-2:] == ["python3-venv", "python3-dev"]
    for needed in ("cmake", "ninja-build", "graphviz", "libyaml-cpp-dev", "g++"):
        assert needed in debian.stdout.split()

    private = with_env_sh(
        "zarn_system_packages",
        environment(VIRTUAL_ENV=fake_venv(tmp_path / "p", "/opt/python3.11")),
    )
    assert "python3-venv" not in private.stdout and "cmake" in private.stdout

    # No python3 on PATH at all: the interpreter itself is installed too.
    bare = tmp_path / "bare"
    bare.mkdir()
    (bare / "dirname").symlink_to(shutil.which("dirname"))
    without = bash(
        f'. "{SCRIPTS}/env.sh"; zarn_system_packages',
        environment(VIRTUAL_ENV="", PATH=bare),
    )
    assert without.stdout.split()[-3:] == ["python3", "python3-venv", "python3-dev"]


def test_packages_count_as_installed_only_when_fully_installed(tmp_path):
    # dpkg keeps removed packages with their configuration files; those are
    # missing just like unknown ones.
    fake = executable(
        tmp_path / "bin" / "dpkg-query",
        'case "$3" in\n'
        "  cmake) printf installed ;;\n"
        "  graphviz) printf config-files ;;\n"
        "  libgtest-dev) printf half-configured ;;\n"
        '  *) echo "dpkg-query: no packages found matching $3" >&2; exit 1 ;;\n'
        "esac\n",
    )
    env = environment(PATH=f"{fake.parent}:{os.environ['PATH']}")
    missing = with_env_sh(
        "zarn_missing_packages cmake graphviz libgtest-dev ninja-build", env
    )
    assert missing.stdout.split() == ["graphviz", "libgtest-dev", "ninja-build"]


def test_zarn_wrapper_runs_the_environments_command(tmp_path):
    venv = tmp_path / "venv"
    wrapper = str(SCRIPTS / "zarn")
    absent = bash(f'"{wrapper}" demo', environment(VIRTUAL_ENV=venv))
    assert absent.returncode == 1
    assert absent.stderr == (
        f"zarn: zarn is not installed in {venv}; run: bash scripts/install.sh\n"
    )
    executable(venv / "bin" / "zarn", 'echo "args:$*"; exit 3\n')
    ran = bash(f'"{wrapper}" config "a b"', environment(VIRTUAL_ENV=venv))
    assert (ran.returncode, ran.stdout) == (3, "args:config a b\n")


def test_install_refuses_unknown_options_and_broken_environments(tmp_path):
    install = str(SCRIPTS / "install.sh")
    usage = bash(f'"{install}" --tset', environment())
    assert usage.returncode == 2 and "usage:" in usage.stderr
    # Every system package reported installed, so only the environment check runs.
    fake = executable(tmp_path / "bin" / "dpkg-query", "printf installed\n")
    env = environment(
        VIRTUAL_ENV=tmp_path / "gone", PATH=f"{fake.parent}:{os.environ['PATH']}"
    )
    broken = bash(f'"{install}"', env)
    assert broken.returncode == 1
    assert f"active virtual environment {tmp_path / 'gone'} has no working" in (
        broken.stderr
    )
