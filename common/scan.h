// Parsing of number fields as the C library's "%lf %lf ..." formats do, with
// a fast path for plain decimal numbers.
#pragma once

// Converts up to `n` numbers from the start of `line`, each preceded by any
// white space, as sscanf(line, "%lf %lf ...") would; returns how many were
// converted (stops at the first field that does not convert). `end`, when not
// null, receives the position after the last converted number.
int ScanDoubles(const char* line, int n, double* out, const char** end = nullptr);
