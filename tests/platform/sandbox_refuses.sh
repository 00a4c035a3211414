#!/usr/bin/env bash
# Run inside the sandbox: a foreign interface appears, and the sandbox script,
# asked to run a command where it stands, refuses.
set -u
script=$1
ip link add tbxprobe0 type dummy 2>/dev/null || { echo "cannot add a test interface; skipping"; exit 0; }
ip link add probe0 type dummy
trap 'ip link del probe0; ip link del tbxprobe0' EXIT
if TAMBERLYX_SANDBOX_STAGE=inner "$script" true 2>/dev/null; then
  echo "sandbox ran a command although probe0 is visible"
  exit 1
fi
ip link del probe0
trap 'ip link del tbxprobe0' EXIT
TAMBERLYX_SANDBOX_STAGE=inner "$script" true || { echo "sandbox refused although only its own links are visible"; exit 1; }
echo "sandbox refuses foreign interfaces"
