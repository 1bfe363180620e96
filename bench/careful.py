#!/usr/bin/env python3
"""The job as a careful user would script it: tvtidy's lines and summary, and
never a file replaced (a check before os.rename, which would replace)."""
import os
import re
import sys

EPISODE = re.compile(r"^(.+?)[Ss]\d\d.*\.(avi|mp4|mkv)$", re.IGNORECASE)

folder = sys.argv[1]
base = folder if folder.endswith("/") else folder + "/"
moved = 0
for entry in os.scandir(folder):
    if entry.is_dir():
        continue
    match = EPISODE.match(entry.name.strip())
    show = match.group(1).replace(".", " ").strip() if match else ""
    if not show:
        print("Skipped File: " + entry.name)
        continue
    show_folder = base + show
    if not os.path.isdir(show_folder):
        try:
            os.mkdir(show_folder)
        except OSError:
            print("Create Folder FAILED: " + show_folder)
            continue
        print("Created Folder: " + show_folder)
    target = show_folder + "/" + entry.name
    source = base + entry.name
    if os.path.lexists(target):
        print("Move File FAILED: " + source)
        continue
    try:
        os.rename(source, target)
    except OSError:
        print("Move File FAILED: " + source)
        continue
    moved += 1
    print("Moved File: " + source)
print(f"Moved {moved} files")
