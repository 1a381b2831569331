// Files read with libconfig (the service's configuration, the simulator's
// board file) must be regular files, and so must every file they @include:
// libconfig's scanner ends the whole process (exit status 2) when reading
// fails, as it does on a directory, and waits for ever on a FIFO that no one
// writes. The check runs before the library sees the file.
#pragma once

#include <string>

// 0 when `path` and the files it includes (resolved as libconfig resolves
// them: relative to the working directory) are regular files or cannot be
// opened at all, which the library reports itself. -1 otherwise, with a
// one-line reason naming the file in *why.
int CheckConfigFiles(const std::string& path, std::string* why);
