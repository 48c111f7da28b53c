// What each format module provides to the entry points that all modules share.
#pragma once

// The format's name ("ZEX", "MUR"), given by GetFormatName.
extern const char kFormatName[];
// The host system text written into every item ("DOS", "Win32").
extern const char kHostSystemName[];
