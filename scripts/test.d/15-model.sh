#!/bin/bash
# The link's concurrency model: every schedule of its threads checked by
# Spin, and each fault put back refuted (scripts/model.sh, docs/model.md).
set -euo pipefail
bash "$MCU_AGENT_ROOT/scripts/model.sh"
