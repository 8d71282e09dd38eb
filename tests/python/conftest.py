"""Options and fixtures of the Python package's tests.

    python3 -m pytest tests/python [--build-dir build] [--fixture-dir build/fixtures]

The package is imported from BUILD_DIR/python (what the CMake build assembles there), and the
video files are those scripts/make_fixtures.sh makes; ctest's make_fixtures test runs it.
"""

import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=os.environ.get("CLIPWALK_BUILD_DIR", ROOT / "build"),
                     help="the CMake build whose python/ holds the package (default: build)")
    parser.addoption("--fixture-dir", default=os.environ.get("CLIPWALK_FIXTURE_DIR"),
                     help="the videos of scripts/make_fixtures.sh (default: BUILD_DIR/fixtures)")


def pytest_configure(config):
    # The build's package, never an installed one that may be older.
    sys.path.insert(0, str(Path(config.getoption("--build-dir")) / "python"))


@pytest.fixture(scope="session")
def build_dir(pytestconfig):
    return Path(pytestconfig.getoption("--build-dir"))


@pytest.fixture(scope="session")
def fixture_dir(pytestconfig, build_dir):
    directory = Path(pytestconfig.getoption("--fixture-dir") or build_dir / "fixtures")
    if not (directory / "h264_bframes_aac.mp4").is_file():
        pytest.fail(f"no fixtures in {directory}: run scripts/make_fixtures.sh {directory}")
    return directory


@pytest.fixture
def fixture(fixture_dir):
    """The path of a fixture file by name."""
    return lambda name: str(fixture_dir / name)


@pytest.fixture(autouse=True)
def own_cache(tmp_path, monkeypatch):
    """Each test has a cache folder of its own, so that no test loads a frame list another
    one saved: a count is what the test itself ran."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
