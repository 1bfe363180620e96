#pragma once

// The whole run: the folder argument, the sweep and the summary line.
void RunDriver();

// The same run, previewed: every line a run would print, nothing changed.
void RunPreview();

// Each episode linked into its show folder and left in place; exit status 0,
// or 1 when any line says FAILED.
void RunLink();

// A run taken back from its saved lines; exit status 0, 1 when any line says
// FAILED, 2 for a usage error.
void RunUndo();
