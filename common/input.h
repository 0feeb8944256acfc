// Opening a named input file: the readers' one way to open what they read.
#pragma once

#include <cstdio>

#include "common/file_type.h"

// fopen(path, mode), except that a directory counts as a file that cannot be
// opened: the C library opens one for reading on this platform, and every
// read then fails, which would pass for an empty or a short file.
inline FILE* OpenInput(const char* path, const char* mode) {
  FILE* f = std::fopen(path, mode);
  if (f && FileType(f) == S_IFDIR) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}
