#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix, headless.
# The prefix and X display come from scripts/wine-env.sh (sourced here when unset); an X
# server started here for want of a display is ended with the program.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xvfb_before=${QUARN_XVFB_PID:-}
# shellcheck source=scripts/wine-env.sh
source "$here/wine-env.sh"
status=0
wine_tool "$@" || status=$?
if [ "${QUARN_XVFB_PID:-}" != "$xvfb_before" ]; then kill "$QUARN_XVFB_PID" 2>/dev/null || true; fi
exit "$status"
