// config.ini: the eight keys of section "Korvex".
#pragma once

// Reads the keys from ini_path into the state record, applying the rules of
// each key (out-of-range values take their fallback; KS108 forces pitch 8).
void LoadSettings();
// Writes the eight fields back to ini_path as signed decimal text.
void SaveSettings();
