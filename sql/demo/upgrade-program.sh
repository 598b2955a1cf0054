#!/bin/sh
# A demo database upgrade program: it only reports how it was started.
name=$(basename "$0" .exe)
here=$(dirname "$0")
line="$name ran with argument '$1' at $(date '+%Y/%m/%d %H:%M:%S')"
echo "$line" >> "$here/$name-report.txt"
echo "$line"
