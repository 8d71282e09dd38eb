#!/usr/bin/env bash
# A longer run of the history test: N random sequences of calls for each file and budget
# (default 100), each ending in a landing compared with a fresh video's. Needs build/ and
# its fixtures (./scripts/test.sh --quick makes both).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$root/build/CMakeCache.txt")
CLIPWALK_HISTORY_SEQUENCES=${1:-100} PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -q \
  -p no:cacheprovider "$root/tests/python/test_history.py" --build-dir "$root/build" \
  --fixture-dir "$root/build/fixtures"
