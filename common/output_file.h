// A named output file written so that a failure never costs the user a file:
// a regular file (or a new one) is written to a temporary file beside it and
// renamed over it only once every byte is flushed, synced and closed; on any
// failure, or on a signal that ends the program meanwhile, the temporary file
// is removed and whatever stood under the name is untouched. A device, a
// FIFO, or the file standard output is on is written directly and never
// removed. Nothing is ever unlinked that the program did not create. Up to
// eight outputs may be open at once (all prepared before a long run, all
// committed at its end).
#pragma once

#include <cstdio>
#include <string>

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Abandon(); }

  // Opens the output for `path`; false when it cannot be created (the
  // folder is missing or not writable, the path is a directory, ...).
  bool Open(const char* path);
  FILE* stream() const { return stream_; }
  // Flushes, syncs and closes the stream without putting the file in place
  // yet; false when any of it fails (the temporary file is then removed).
  // Several outputs sealed first and committed after fail or land together,
  // but for a rename that fails.
  bool Seal();
  // Seals the output, if it is not yet, and puts the file in place; false
  // when any of it fails (the temporary file is then removed).
  bool Commit();
  // Closes the stream and removes the temporary file, if any.
  void Abandon();

 private:
  FILE* stream_ = nullptr;
  std::string target_;     // the file the temporary one replaces
  std::string temporary_;  // empty when written directly
  int slot_ = -1;          // the signal handler's record of temporary_
  bool sealed_ = false;
};
