#!/usr/bin/env bash
# Installs what the demo needs and runs it: a Poincaré index over the WordNet nouns.
set -euo pipefail
cd "$(dirname "$0")"
if [ ! -f /usr/share/wordnet/data.noun ]; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq wordnet-base >/dev/null
fi
python3 -m pip install -q --disable-pip-version-check .
cd /tmp && python3 -m velmora.demo "$@"
