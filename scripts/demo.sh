#!/usr/bin/env bash
# The main job: reference archive server on a generated demo archive, with the
# viewer connected to it. The viewer and server arrive with later work; until
# then this says what it will do.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cat <<'TXT'
demo: not available yet.
When complete, this command builds the project, generates a demo archive
(once, under demo-data/), starts vqarchived on it on 127.0.0.1 and opens
vqviewer connected to it (under Xvfb with a screenshot when no display is
present), stopping the server when the viewer exits.
TXT
