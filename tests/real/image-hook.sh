#!/bin/sh
# What the real-kernel suite adds to the guest's image at image time
# (tools/freebsd-lab/image.sh runs it with the staged root, before the
# METALOG is written): the jail's root, as /morvex/jail.
set -eu
STAGE=${1:?usage: image-hook.sh STAGE}
sh "$(dirname "$0")/jail.sh" populate "$STAGE/morvex/jail" "$STAGE"
