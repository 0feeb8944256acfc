// Opening a named input file: the readers' one way to open what they read.
#pragma once

#include <sys/stat.h>

#include <cstdio>

// fopen(path, mode), except that a directory counts as a file that cannot be
// opened: the C library opens one for reading on this platform, and every
// read then fails, which would pass for an empty or a short file.
inline FILE* OpenInput(const char* path, const char* mode) {
  FILE* f = std::fopen(path, mode);
  struct stat st;
  if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}
