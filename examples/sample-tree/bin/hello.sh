#!/bin/sh
# An executable file: its mode travels in the archive.
echo "hello from the sample archive"
