#!/bin/sh
# The whole mutation campaign: 2,000 damaged videos (the tests run a fixed
# tenth of them). Inputs that fail are kept in build/campaign-failures.
# Extra arguments go to tests/campaign.py (e.g. --count 10000 --seed 2).
set -eu
cd "$(dirname "$0")/.."

./scripts/build.sh
echo "campaign: running tests/campaign.py on build/first-frame"
FIRST_FRAME_FIXTURES=build/tests/fixtures \
	python3 tests/campaign.py build/first-frame --count 2000 --keep build/campaign-failures "$@"
