// The type of the file a stream is open on, for the few decisions that hang
// on it: a directory is no input, only a regular file of our own is removed
// after a failed write, and a pipe or terminal gets its lines at once.
#pragma once

#include <sys/stat.h>

#include <cstdio>

// The stream's file type bits (S_IFREG, S_IFDIR, S_IFIFO, ...); 0 when they
// cannot be had.
inline mode_t FileType(FILE* f) {
  struct stat st;
  return fstat(fileno(f), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

// Whether the stream is a pipe, terminal or device rather than a regular
// file: lines written to or read from it are flushed one by one, so that the
// other end gets each answer at once.
inline bool Interactive(FILE* f) {
  const mode_t type = FileType(f);
  return type != 0 && type != S_IFREG;
}
