// The STL decoder shared by the suite's reader (common/read.cpp) and the
// front end's (mesh/format_stl.cpp): the token reader, the grammar of ASCII
// solids, the numbers and the orientation rule. What the two readers do
// differently is a parameter (Rules); where the characters come from and
// where facets and faults go belong to the caller (a Source and a Sink).
//
// A Source has `int Next()` (consumes one character and returns it, EOF at
// the end), `int Last()` (the character Next last returned) and
// `char* Token()` (a buffer of 96 bytes for the current token). A Sink has
// `void Facet(const double n[3], const double a[3], const double b[3],
// const double c[3])` (one facet as the file gives it) and
// `[[noreturn]] void Fail(stl::Fault, const char* expected)`; it may have
// `void EndSolid()`, called at the end of each solid's "endsolid" line.
#pragma once

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace stl {

// How a facet's vertex order is settled.
enum class Orientation {
  // Vertices 2 and 3 exchanged where the right-hand normal opposes the
  // normal stored in the file (the suite's programs).
  kFromNormals,
  // The file's vertex order kept; the stored normal only reported (the
  // front end, which checks the winding itself).
  kFromWinding,
};

struct Rules {
  Orientation orientation = Orientation::kFromNormals;
  // After the "endsolid" line: stop, leaving the rest unread (false); or
  // read every further solid up to the end, where only whitespace may be
  // left (true).
  bool every_solid = false;
  // A number token: its leading part converted and the rest of the token
  // ignored, as the C library's "%lf" does (false); or the whole token one
  // number, correctly rounded, a leading '+' allowed (true).
  bool whole_numbers = false;
};

// What broke the grammar, for the sink to put in its own words; `expected`
// names what should have come.
enum class Fault {
  kEnd,     // the data ended
  kToken,   // another token came (the source's Token())
  kNumber,  // a token that is not a number
  kLong,    // a token of more than 95 characters
};

inline bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Whether (b - a) x (c - a) points against n, so that the rule exchanges
// vertices 2 and 3: d = n . ((b - a) x (c - a)) < 0, each component of the
// cross product a sum of six products, so that no coordinate difference is
// rounded before the sign is decided. Never under kFromWinding.
inline bool Exchanges(Orientation o, const double n[3], const double a[3], const double b[3],
                      const double c[3]) {
  if (o == Orientation::kFromWinding) return false;
  const double cx =
      a[1] * b[2] + b[1] * c[2] + a[2] * c[1] - a[2] * b[1] - b[2] * c[1] - a[1] * c[2];
  const double cy =
      a[2] * b[0] + b[2] * c[0] + a[0] * c[2] - a[0] * b[2] - b[0] * c[2] - a[2] * c[0];
  const double cz =
      a[0] * b[1] + b[0] * c[1] + a[1] * c[0] - a[1] * b[0] - b[1] * c[0] - a[0] * c[1];
  return n[0] * cx + n[1] * cy + n[2] * cz < 0;
}

// "%lf" on a token: strtod where the two provably agree (plain decimal
// numbers), the C library's scanner for everything else (hex, nan, inf).
inline bool LeadingNumber(const char* s, double* d) {
  if (std::strspn(s, "0123456789+-.eE") == std::strlen(s)) {
    char* end;
    *d = std::strtod(s, &end);
    return end != s;
  }
  return std::sscanf(s, "%lf", d) == 1;
}

// The whole of s[0, n) as one number, correctly rounded and independent of
// the locale; a leading '+' is taken as a sign.
inline bool WholeNumber(const char* s, size_t n, double* d) {
  if (n > 1 && s[0] == '+' && s[1] != '-' && s[1] != '+') ++s, --n;
  const auto [end, ec] = std::from_chars(s, s + n, *d);
  return n > 0 && ec == std::errc() && end == s + n;
}

enum class Token { kNone, kWord, kLong };

// Reads the next whitespace-delimited token into the source's buffer,
// lower-cased and NUL-ended. kNone at the end of the data; kLong once 96
// characters have been copied (the longest token is 95). The character
// that ended the token stays the source's Last().
template <class Source>
Token NextToken(Source& in) {
  int c;
  do {
    if ((c = in.Next()) == EOF) return Token::kNone;
  } while (IsBlank(c));
  char* s = in.Token();
  unsigned k = 0;
  while (c != EOF && !IsBlank(c)) {
    s[k++] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (k == 96) return Token::kLong;
    c = in.Next();
  }
  s[k] = 0;
  return Token::kWord;
}

namespace detail {

template <class Source, class Sink>
void Word(Source& in, Sink& sink, const char* expected) {
  switch (NextToken(in)) {
    case Token::kNone:
      sink.Fail(Fault::kEnd, expected);
    case Token::kLong:
      sink.Fail(Fault::kLong, expected);
    case Token::kWord:
      return;
  }
}

template <class Source, class Sink>
void Expect(Source& in, Sink& sink, const char* keyword, const char* expected) {
  Word(in, sink, expected);
  if (std::strcmp(in.Token(), keyword) != 0) sink.Fail(Fault::kToken, expected);
}

template <class Source, class Sink>
void Numbers(Source& in, Sink& sink, const Rules& rules, const char* what, double* out) {
  for (int k = 0; k < 3; ++k) {
    Word(in, sink, what);
    const char* s = in.Token();
    if (!(rules.whole_numbers ? WholeNumber(s, std::strlen(s), &out[k])
                              : LeadingNumber(s, &out[k])))
      sink.Fail(Fault::kNumber, what);
  }
}

// The rest of a line up to and including its LF; `to_end` accepts the end
// of the data there, else it is a fault.
template <class Source, class Sink>
void SkipLine(Source& in, Sink& sink, bool to_end) {
  for (int c = in.Last(); c != '\n'; c = in.Next())
    if (c == EOF) {
      if (to_end) return;
      sink.Fail(Fault::kEnd, "the end of the line after \"solid\"");
    }
}

}  // namespace detail

// An ASCII STL from its first token on: "solid" and a name line, facets
// ("facet normal n n n outer loop", three times "vertex x y z", "endloop
// endfacet") up to "endsolid" and the rest of its line; then, under
// every_solid, further solids up to the end. Keywords are matched in any
// case; line breaks matter only after "solid" and "endsolid".
template <class Source, class Sink>
void ReadSolids(Source& in, const Rules& rules, Sink& sink) {
  using detail::Expect;
  Expect(in, sink, "solid", "\"solid\"");
  for (;;) {
    // The solid's name: anything up to the LF, unless "solid" ended at it.
    detail::SkipLine(in, sink, false);
    for (;;) {
      detail::Word(in, sink, "\"facet\" or \"endsolid\"");
      if (std::strcmp(in.Token(), "endsolid") == 0) break;
      if (std::strcmp(in.Token(), "facet") != 0)
        sink.Fail(Fault::kToken, "\"facet\" or \"endsolid\"");
      double n[3], v[3][3];
      Expect(in, sink, "normal", "\"normal\"");
      detail::Numbers(in, sink, rules, "a normal component", n);
      Expect(in, sink, "outer", "\"outer\"");
      Expect(in, sink, "loop", "\"loop\"");
      for (double* p : v) {
        Expect(in, sink, "vertex", "\"vertex\"");
        detail::Numbers(in, sink, rules, "a coordinate", p);
      }
      Expect(in, sink, "endloop", "\"endloop\"");
      Expect(in, sink, "endfacet", "\"endfacet\"");
      sink.Facet(n, v[0], v[1], v[2]);
    }
    detail::SkipLine(in, sink, true);
    if constexpr (requires { sink.EndSolid(); }) sink.EndSolid();
    if (!rules.every_solid) return;
    switch (NextToken(in)) {
      case Token::kNone:
        return;
      case Token::kLong:
        sink.Fail(Fault::kLong, "\"solid\" or the end of the data");
      case Token::kWord:
        if (std::strcmp(in.Token(), "solid") != 0)
          sink.Fail(Fault::kToken, "\"solid\" or the end of the data");
    }
  }
}

}  // namespace stl
