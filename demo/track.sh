#!/bin/sh
# The ALSA file device's pipe: every device that Wine opens starts this once,
# and its sound goes to a file of its own in FOLDER, named by the time it
# started (ns), so that sorting the names gives the order of the opens.
#
#   track.sh FOLDER
exec cat >"$(mktemp "$1/track-$(date +%s%N)-XXXXXX.wav")"
