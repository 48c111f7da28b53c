// What each format module provides to the entry points that all modules share.
#pragma once

#include <cstdint>

// The format's name ("ZEX", "MUR"), given by GetFormatName.
extern const char kFormatName[];
// The host system text written into every item ("DOS", "Win32").
extern const char kHostSystemName[];

// The format's probe, for IsArchive: whether `data` holds the start of one of its catalogues.
bool ProbeFormat(const uint8_t* data, uint32_t dataSize);
