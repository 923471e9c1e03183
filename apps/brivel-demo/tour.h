#pragma once
// A scripted tour of the demo host: connect, move, jog, run to a target, both panels,
// both languages, a reposition (its question answered automatically). After each step
// it writes a picture of the main window (and of the wait window while it shows) into
// a directory. Runs without anyone at the screen (also on the offscreen platform).

#include <QString>

class HostWindow;

// Runs the tour; gives 0 when every step did what it should, 1 otherwise. Prints each
// step and each message box the control showed.
int run_tour(HostWindow& window, const QString& directory);
