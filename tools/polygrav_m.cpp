// polygrav_m: the gravitational field of a homogeneous polyhedron given as a
// vertex/face text file, at the model's vertices, at its face centres or at
// points read from a file, the points divided among THREADS threads.
//
// Its own unit: per-face table (SetUpSI) in double precision, thread body
// (Thread) and main. The points are evaluated by the suite's
// vector kernel over the double-precision faces; numbers are read by the
// suite's scanner, THREADS as every threaded program reads it, and failures
// end through the suite's Error.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "common/error.h"
#include "common/input.h"
#include "common/scan.h"
#include "engine/chooser.h"
#include "engine/kernel.h"
#include "engine/table.h"
#include "engine/terms.h"
#include "engine/threads.h"

namespace {

// One face: its vertices as read, then the unit normal and, for each edge
// (A->B, B->C, C->A), its reciprocal length and in-plane unit edge normal.
// A face of zero area has all fifteen table values 0 and adds nothing.
struct FaceEntry {
  double Ax, Ay, Az, Bx, By, Bz, Cx, Cy, Cz;
  double nx, ny, nz;
  double il1, m1x, m1y, m1z;
  double il2, m2x, m2y, m2z;
  double il3, m3x, m3y, m3z;
};

// State shared by main and the worker threads, all set before any thread
// starts: thread count, face count, point count, the point coordinates
// (overwritten by the attraction at each point), the potential per point and
// the face table.
int M = 1;
uint32_t F = 0;
uint32_t N = 0;
double* X = nullptr;
double* Y = nullptr;
double* Z = nullptr;
double* P = nullptr;
FaceEntry* si = nullptr;

constexpr size_t kLineBuffer = 2048;  // a line holds at most 2046 characters and its newline
constexpr size_t kPointStep = 2048;   // growth of the point arrays

// ---------------------------------------------------------------------------
// Fatal errors

// The path, then " : file not found." on the same line (standard output is
// flushed first, so that the two never come apart in a shared stream).
[[noreturn]] void FileNotFound(const char* path) {
  std::fflush(stdout);
  std::fputs(path, stderr);
  Error(" : file not found.");
}

// ---------------------------------------------------------------------------
// Per-face table and field

// Stores the face's vertices and its table values (the suite's table
// entry, engine/table.h): n = (e3 x e1)/|e3 x e1|, il_k = 1/L_k,
// m_k = (e_k x n) il_k for e1 = B - A, e2 = C - B, e3 = A - C; a face of
// zero area keeps its vertices and nothing else.
void SetUpSI(double Ax, double Ay, double Az, double Bx, double By, double Bz, double Cx, double Cy,
             double Cz, FaceEntry* entry) {
  const double v[9] = {Ax, Ay, Az, Bx, By, Bz, Cx, Cy, Cz};
  const SIEntry e = MakeSIEntry(v);
  *entry =
      FaceEntry{Ax,    Ay,    Az,    Bx,    By,    Bz,    Cx,    Cy,    Cz,    e.nx,  e.ny,  e.nz,
                e.il1, e.m1x, e.m1y, e.m1z, e.il2, e.m2x, e.m2y, e.m2z, e.il3, e.m3x, e.m3y, e.m3z};
}

bool ZeroArea(const FaceEntry& e) {
  return e.nx == 0 && e.ny == 0 && e.nz == 0;
}

// The faces prepared for the suite's vector kernel (the table form with the
// relative guard, in double precision), and its instruction set; under
// TOLERANCE the suite's chooser instead (tree, expansion or table), over the
// faces' corners.
kernel::Model table;
const kernel::Isa* isa = nullptr;
double tolerance = 0;
std::vector<double> corners;
std::unique_ptr<Chooser> chooser;

void PrepareKernel() {
  try {
    corners.resize(9 * size_t{F});
  } catch (const std::bad_alloc&) {
    Error("memory allocation error.");
  }
  for (uint32_t f = 0; f < F; ++f) {
    const FaceEntry& e = si[f];
    const double v[9] = {e.Ax, e.Ay, e.Az, e.Bx, e.By, e.Bz, e.Cx, e.Cy, e.Cz};
    std::copy(v, v + 9, &corners[9 * size_t{f}]);
  }
  isa = &kernel::For(kernel::Best());
  if (tolerance == 0) {
    table.Build(Facets(F, corners.data()));
    std::vector<double>().swap(corners);
    return;
  }
  chooser = std::make_unique<Chooser>(TableGuard::kRelative, static_cast<unsigned>(M));
  chooser->SetTolerance(tolerance);
  chooser->Load(Facets(F, corners.data()));
}

// Under TOLERANCE, every point through the chooser (results in P, X, Y, Z):
// true when it has evaluated them.
bool EvaluateByChooser() {
  if (!chooser) return false;
  // The attraction overwrites the coordinates: the chooser reads every
  // point before it writes a result.
  chooser->Evaluate(N, X, Y, Z, {P, X, Y, Z});
  return true;
}

// The field at n points of block arrays x, y, z into U, gx, gy, gz.
void Evaluate(size_t n, const double* x, const double* y, const double* z, double* U, double* gx,
              double* gy, double* gz) {
  if (chooser) {
    chooser->Evaluate(n, x, y, z, {U, gx, gy, gz});
    return;
  }
  CalculateSI(*isa, TableGuard::kRelative, table, 0, 1, n, x, y, z, {U, gx, gy, gz});
}

// Thread body: points index, index + M, index + 2M, ... of the shared arrays,
// taken in blocks (the attraction overwrites the coordinates). The block is
// on the heap: worker threads may run on small stacks.
unsigned Thread(int index) {
  const size_t step = static_cast<size_t>(M);
  constexpr size_t kBlock = 128;
  std::unique_ptr<double[]> block(new (std::nothrow) double[7 * kBlock]);
  std::unique_ptr<size_t[]> which(new (std::nothrow) size_t[kBlock]);
  if (!block || !which) Error("memory allocation error.");
  double *x = block.get(), *y = x + kBlock, *z = y + kBlock, *U = z + kBlock, *gx = U + kBlock,
         *gy = gx + kBlock, *gz = gy + kBlock;
  for (size_t i = static_cast<size_t>(index); i < N;) {
    size_t n = 0;
    for (; n < kBlock && i < N; i += step, ++n) {
      which[n] = i;
      x[n] = X[i], y[n] = Y[i], z[n] = Z[i];
    }
    Evaluate(n, x, y, z, U, gx, gy, gz);
    for (size_t k = 0; k < n; ++k) {
      const size_t j = which[k];
      P[j] = U[k], X[j] = gx[k], Y[j] = gy[k], Z[j] = gz[k];
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Memory

// Resizes *array to `count` elements; false (array unchanged) on failure or
// when the byte count does not fit.
template <typename T>
bool Resize(T** array, size_t count) {
  if (count > SIZE_MAX / sizeof(T)) return false;
  T* grown = static_cast<T*>(std::realloc(*array, std::max<size_t>(count, 1) * sizeof(T)));
  if (!grown) return false;
  *array = grown;
  return true;
}

void ResizePoints(size_t count, const char* message) {
  if (!Resize(&X, count) || !Resize(&Y, count) || !Resize(&Z, count)) Error(message);
}

// Capacity for one more element of a list whose header claims `claimed`
// elements: doubled from a modest start, never beyond the claim, so that
// memory follows the lines that really exist.
size_t NextCapacity(size_t capacity, size_t claimed) {
  const size_t grown = capacity < 1024 ? 1024 : 2 * capacity;
  return std::min(grown, claimed);
}

// ---------------------------------------------------------------------------
// Text input

// Reads one line into buf; false at the end of the input or when the line
// does not end with a newline (also when it is too long for the buffer).
bool ReadLine(FILE* in, char (&buf)[kLineBuffer]) {
  if (!std::fgets(buf, sizeof buf, in)) return false;
  const size_t len = std::strlen(buf);
  return len > 0 && buf[len - 1] == '\n';
}

// "%lf %lf %lf": true when the line starts with three numbers.
bool ScanThree(const char* line, double out[3]) {
  return ScanDoubles(line, 3, out) == 3;
}

enum class Count { kNone, kValue, kTooLarge };

// One "%lu" field into a 32-bit count: white space, an optional sign, decimal
// digits. A value that does not fit 32 bits (a negative one included) is
// reported as kTooLarge instead of wrapping.
Count ScanCount(const char** line, uint32_t* out) {
  const char* p = *line;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  char* stop;
  errno = 0;
  const unsigned long long v = std::strtoull(p, &stop, 10);
  if (stop == p) return Count::kNone;
  *line = stop;
  if (errno == ERANGE || v > UINT32_MAX || (negative && v != 0)) return Count::kTooLarge;
  *out = static_cast<uint32_t>(v);
  return Count::kValue;
}

// ---------------------------------------------------------------------------
// The model

using terms::VolumeSum;

// An input file, or standard input for a path beginning with "-"; a file is
// closed when the reading is done, on every way out.
class Input {
 public:
  explicit Input(const char* path) : file_(path[0] == '-' ? stdin : OpenInput(path, "r")) {
    if (!file_) FileNotFound(path);
  }
  ~Input() {
    if (file_ != stdin) std::fclose(file_);
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  FILE* get() const { return file_; }

 private:
  FILE* file_;
};

// Header line "%lu %lu": vertex and face counts, both non-zero.
void ReadHeader(FILE* in, uint32_t* V) {
  char buf[kLineBuffer];
  if (!ReadLine(in, buf)) Error("bad data number.");
  const char* p = buf;
  if (ScanCount(&p, V) != Count::kValue || ScanCount(&p, &F) != Count::kValue)
    Error("bad data number.");
  if (*V == 0 || F == 0) Error("bad data number.");
}

// V vertex lines into X, Y, Z, grown as the lines arrive; their capacity is V
// afterwards.
void ReadVertices(FILE* in, uint32_t V) {
  char buf[kLineBuffer];
  size_t capacity = 0;
  for (uint32_t i = 0; i < V; ++i) {
    if (i == capacity) {
      capacity = NextCapacity(capacity, V);
      if (!Resize(&X, capacity) || !Resize(&Y, capacity) || !Resize(&Z, capacity))
        Error("memory allocation error.");
    }
    double v[3];
    if (!ReadLine(in, buf) || !ScanThree(buf, v)) Error("data read error.");
    X[i] = v[0], Y[i] = v[1], Z[i] = v[2];
  }
}

// Face line "%lu %lu %lu": three vertex numbers, each below V.
void ReadCorners(FILE* in, uint32_t V, uint32_t corner[3]) {
  char buf[kLineBuffer];
  if (!ReadLine(in, buf)) Error("data read error.");
  const char* p = buf;
  for (int k = 0; k < 3; ++k)
    if (ScanCount(&p, &corner[k]) != Count::kValue || corner[k] >= V) Error("data read error.");
}

// The volume and centroid rule over the faces with area.
void AddVolume(const FaceEntry& e, VolumeSum* sum) {
  if (!ZeroArea(e)) sum->Add({e.Ax, e.Ay, e.Az}, {e.Bx, e.By, e.Bz}, {e.Cx, e.Cy, e.Cz});
}

// F face lines into si (grown as the lines arrive), with the volume sums.
VolumeSum ReadFaces(FILE* in, uint32_t V) {
  VolumeSum sum;
  size_t capacity = 0;
  for (uint32_t f = 0; f < F; ++f) {
    if (f == capacity) {
      capacity = NextCapacity(capacity, F);
      if (!Resize(&si, capacity)) Error("memory allocation error.");
    }
    uint32_t c[3];
    ReadCorners(in, V, c);
    SetUpSI(X[c[0]], Y[c[0]], Z[c[0]], X[c[1]], Y[c[1]], Z[c[1]], X[c[2]], Y[c[2]], Z[c[2]],
            &si[f]);
    AddVolume(si[f], &sum);
  }
  return sum;
}

// ---------------------------------------------------------------------------
// Output: "%lf" through to_chars (exact, as printf rounds), lines gathered in
// a block and written in one call.

class Out {
 public:
  // The block is on the heap: the program runs on small stacks.
  explicit Out(FILE* stream) : stream_(stream), buf_(new char[kSize]) {}
  ~Out() { Flush(); }
  Out& Num(double v) {
    if (kSize - len_ < kRoom) Flush();
    char* p = buf_.get() + len_;
    if (std::isfinite(v)) {
      p = std::to_chars(p, buf_.get() + kSize, v, std::chars_format::fixed, 6).ptr;
    } else {
      const char* s = std::isnan(v) ? (std::signbit(v) ? "-nan" : "nan") : (v < 0 ? "-inf" : "inf");
      p = std::copy(s, s + std::strlen(s), p);
    }
    len_ = static_cast<size_t>(p - buf_.get());
    return *this;
  }
  Out& Put(char c) {
    if (len_ == kSize) Flush();
    buf_[len_++] = c;
    return *this;
  }
  void Flush() {
    std::fwrite(buf_.get(), 1, len_, stream_);
    len_ = 0;
  }

 private:
  static constexpr size_t kRoom = 400;  // "%lf" of the largest double: 317 characters
  static constexpr size_t kSize = size_t{1} << 16;
  FILE* stream_;
  std::unique_ptr<char[]> buf_;
  size_t len_ = 0;
};

void PutFour(Out& out, double a, double b, double c, double d, char last) {
  out.Num(a).Put('\t').Num(b).Put('\t').Num(c).Put('\t').Num(d).Put(last);
}

// The summary line: volume, centroid, then the field at the centroid,
// evaluated on the main thread before any worker starts.
void PrintSummary(const VolumeSum& sum) {
  const double cx = sum.Sx / (4 * sum.D), cy = sum.Sy / (4 * sum.D), cz = sum.Sz / (4 * sum.D);
  Out out(stdout);
  PutFour(out, sum.D / 6, cx, cy, cz, '\t');
  double U, gx, gy, gz;
  Evaluate(1, &cx, &cy, &cz, &U, &gx, &gy, &gz);
  PutFour(out, U, gx, gy, gz, '\n');
}

void PrintEmptyLines(uint32_t count) {
  Out out(stdout);
  for (uint32_t i = 0; i < count; ++i) out.Put('\n');
}

// ---------------------------------------------------------------------------
// Field points

// Second argument: which points.
enum class Points { kVertices, kFile, kFaceCentres, kFaceCentresAligned };

Points PointSource(int argc, char** argv) {
  if (argc < 3) return Points::kVertices;
  const char* a = argv[2];
  if (a[0] != '-') return Points::kFile;
  if (a[1] != '-') return Points::kFile;  // standard input
  return a[2] == '-' ? Points::kFaceCentresAligned : Points::kFaceCentres;
}

void FaceCentres() {
  ResizePoints(F, "memory re-allocation error.");
  for (uint32_t j = 0; j < F; ++j) {
    const FaceEntry& e = si[j];
    X[j] = ((e.Ax + e.Bx) + e.Cx) / 3;
    Y[j] = ((e.Ay + e.By) + e.Cy) / 3;
    Z[j] = ((e.Az + e.Bz) + e.Cz) / 3;
  }
  N = F;
}

// Points of a point file (or standard input) appended to X, Y, Z, whose
// capacity is `capacity` on entry; the list ends at the end of the file or at
// the first line that does not end with a newline or start with three numbers.
void ReadPoints(const char* path, size_t capacity) {
  const Input input(path);
  FILE* in = input.get();
  char buf[kLineBuffer];
  double p[3];
  N = 0;
  while (ReadLine(in, buf) && ScanThree(buf, p)) {
    if (N == capacity) {
      capacity += kPointStep;
      if (capacity > UINT32_MAX) Error("memory re-allocation error.");
      ResizePoints(capacity, "memory re-allocation error.");
    }
    X[N] = p[0], Y[N] = p[1], Z[N] = p[2];
    ++N;
  }
  if (std::ferror(in)) FileNotFound(path);  // a read error is not the end of the list
  if (N == 0) Error("no point data.");
  ResizePoints(N, "memory re-allocation error.");
}

// ---------------------------------------------------------------------------
// Threads

// Evaluates every point: M handle slots are reserved (not touched), then M is
// lowered to N so that no thread starts without a point; thread 0 is the main
// thread, the others are joined in ascending order.
void EvaluatePoints() {
  std::vector<std::thread> handle;
  try {
    handle.reserve(static_cast<size_t>(M));
  } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size
    Error("memory allocation error.");
  }
  M = static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(M), N));
  for (int t = 1; t < M; ++t) {
    try {
      handle.emplace_back(Thread, t);
    } catch (const std::system_error&) {
      Error("multi-threading initialization error.");
    }
  }
  Thread(0);
  for (std::thread& h : handle) {
    try {
      h.join();
    } catch (const std::system_error&) {
      Error("multi-threading termination error.");
    }
  }
}

// ---------------------------------------------------------------------------
// Results

struct Range {
  double lo, hi;
  void Take(double v, bool first) {
    if (first)
      lo = hi = v;
    else if (v < lo)
      lo = v;
    else if (v > hi)
      hi = v;
  }
};

// One line per point, then the range of each column on standard error.
void PrintResults() {
  Range range[4] = {};
  {
    Out out(stdout);
    for (uint32_t j = 0; j < N; ++j) {
      const double v[4] = {P[j], X[j], Y[j], Z[j]};
      for (int k = 0; k < 4; ++k) range[k].Take(v[k], j == 0);
      PutFour(out, v[0], v[1], v[2], v[3], '\n');
    }
  }
  // A full disk or a closed pipe must not pass for success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) Error("standard output write error.");
  {
    Out err(stderr);
    for (const Range& r : range) err.Num(r.lo).Put('\t').Num(r.hi).Put('\n');
  }
  // The ranges are part of the result: a run that cannot write them fails.
  if (std::fflush(stderr) != 0 || std::ferror(stderr)) _exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) Error("usage : polygrav_m vf.txt {point.txt}");
  M = static_cast<int>(ThreadsSetting());
  tolerance = ToleranceSetting();

  uint32_t V = 0;
  VolumeSum sum;
  {
    const Input model(argv[1]);
    ReadHeader(model.get(), &V);
    ReadVertices(model.get(), V);
    sum = ReadFaces(model.get(), V);
  }
  PrepareKernel();

  PrintSummary(sum);
  std::fflush(stdout);  // the summary is complete before any point is awaited

  switch (PointSource(argc, argv)) {
    case Points::kVertices:
      N = V;
      break;
    case Points::kFaceCentresAligned:
      PrintEmptyLines(V);
      FaceCentres();
      break;
    case Points::kFaceCentres:
      FaceCentres();
      break;
    case Points::kFile:
      ReadPoints(argv[2], V);
      break;
  }

  if (!Resize(&P, N)) Error("memory allocation error.");
  if (!EvaluateByChooser()) EvaluatePoints();
  PrintResults();
  return 0;
}
