// The hosts' exit statuses, one per kind of failure, from the mildest to the gravest: a file
// that is no catalogue, damage inside a catalogue, a file that cannot be listed at all, a
// module or the host at fault. With several catalogues cathost exits with the highest.
// catmount and cathost32 answer the same failures with the same numbers.
#pragma once

enum ExitStatus : int {
  kExitOk = 0,
  kExitNotAccepted = 1,
  kExitDamaged = 2,
  kExitPastEnd = 3,
  kExitReadError = 4,
  kExitOpenFailed = 5,
  kExitNoSuchFile = 6,
  kExitIsDirectory = 7,
  kExitCannotRead = 8,
  kExitEmptyFile = 9,
  kExitBadModule = 10,
  kExitWriteFailed = 11,
  kExitUnknownResult = 12,
  kExitModuleFault = 13,
  kExitUsage = 64,
};
