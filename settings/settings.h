// config.ini: the keys of section "Korvex".
#pragma once

// Reads the keys from ini_path into the state record, applying the rules of
// each key (out-of-range values take their fallback; KS108 forces pitch 8).
void LoadSettings();
// The rules alone, on the fields as they stand: each out-of-range value takes
// its fallback, and KS108 forces pitch 8. LoadSettings applies them to what it
// read; the settings window to what is typed into it.
void CorrectSettings();
// Writes the fields back to ini_path as signed decimal text; GfxChangesOnly
// only when the file had it.
void SaveSettings();
