#pragma once

// The whole run: the folder argument, the sweep and the summary line.
void RunDriver();

// The same run, previewed: every line a run would print, nothing changed.
void RunPreview();
