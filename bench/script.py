#!/usr/bin/env python3
"""The same job as a user would script it: scandir, a regex, os.rename."""
import os
import re
import sys

EPISODE = re.compile(r"^(.+?)[Ss]\d\d.*\.(avi|mp4|mkv)$", re.IGNORECASE)

folder = sys.argv[1]
made = set()
for entry in os.scandir(folder):
    if entry.is_dir():
        continue
    match = EPISODE.match(entry.name.strip())
    if not match:
        continue
    show = match.group(1).replace(".", " ").strip()
    if not show:
        continue
    if show not in made:
        os.makedirs(os.path.join(folder, show), exist_ok=True)
        made.add(show)
    os.rename(entry.path, os.path.join(folder, show, entry.name))
