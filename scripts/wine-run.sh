#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix, headless.
# The prefix and X display come from scripts/wine-env.sh (sourced here when unset).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/wine-env.sh
source "$here/wine-env.sh"
exec wine "$@"
