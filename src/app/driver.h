#pragma once

// The whole run: the folder argument, the sweep and the summary line.
void RunDriver();
