// fieldpts: one implementation for the direct, tabled and threaded builds. An
// engine whose batch is unbounded (threaded) gets the whole point list at
// once; the others get one point at a time, each line printed before the next
// point is read.
#include "tools/fieldpts_cmd.h"

#include <cstdio>
#include <cstdlib>

#include "common/error.h"
#include "common/file_type.h"
#include "common/input.h"
#include "common/print.h"
#include "common/read.h"
#include "common/scan.h"
#include "tools/surface.h"

namespace {

void PrintPointLine(double x, double y, double z, double U, double gx, double gy, double gz) {
  Line line;
  line.E(x).Tab().E(y).Tab().E(z).Tab().E(U).Tab().E(gx).Tab().E(gy).Tab().E(gz).Char('\n');
  line.Flush(stdout);
}

// The next point of the file: a 1024-byte piece of a line parsed as
// "%lf %lf %lf"; false at the end of the file or at a line without three numbers.
bool NextPoint(FILE* in, double p[3]) {
  char buf[1024];
  return std::fgets(buf, sizeof buf, in) && ScanDoubles(buf, 3, p) == 3;
}

// A read error (or a directory on standard input) is not the end of the list.
void EndOfPoints(FILE* in) {
  if (std::ferror(in)) Error("point file not found.");
}

void StreamPoints(FieldEngine& engine, FILE* in) {
  const bool flush = Interactive(in) || Interactive(stdout);
  double p[3], U, gx, gy, gz;
  if (flush) std::fflush(stdout);  // the volume line, before the first point is awaited
  while (NextPoint(in, p)) {
    engine.Evaluate(1, &p[0], &p[1], &p[2], {&U, &gx, &gy, &gz});
    PrintPointLine(p[0], p[1], p[2], U, gx, gy, gz);
    if (flush) std::fflush(stdout);
  }
  EndOfPoints(in);
}

// Grows X0, Y0 and Z0 to `capacity` points each.
void GrowPoints(double** X0, double** Y0, double** Z0, size_t capacity) {
  for (double** a : {X0, Y0, Z0}) {
    double* grown = capacity > SIZE_MAX / sizeof(double)
                        ? nullptr
                        : static_cast<double*>(std::realloc(*a, sizeof(double) * capacity));
    if (!grown) Error("memory re-allocation error for X0, Y0 and Z0.");
    *a = grown;
  }
}

// Reads every point first (arrays grown geometrically), evaluates them all,
// then prints them in input order.
void BatchPoints(FieldEngine& engine, FILE* in) {
  // The first line is complete: a reader of a pipe gets it before the points
  // are awaited.
  std::fflush(stdout);
  size_t count = 0, capacity = 0;
  double *X0 = nullptr, *Y0 = nullptr, *Z0 = nullptr;
  double p[3];
  while (NextPoint(in, p)) {
    if (count == capacity) {
      capacity = capacity ? 2 * capacity : 1024;
      GrowPoints(&X0, &Y0, &Z0, capacity);
    }
    X0[count] = p[0], Y0[count] = p[1], Z0[count] = p[2];
    ++count;
  }
  EndOfPoints(in);
  if (count > 0) {
    const FieldOut out = AllocateMemory(count);
    engine.Evaluate(count, X0, Y0, Z0, out);
    for (size_t i = 0; i < count; ++i)
      PrintPointLine(X0[i], Y0[i], Z0[i], out.U[i], out.gx[i], out.gy[i], out.gz[i]);
    std::free(out.U);
  }
  for (double* a : {X0, Y0, Z0}) std::free(a);
}

}  // namespace

int FieldptsMain(int argc, char** argv, FieldEngine& engine) {
  if (argc != 2 && argc != 3) Error("usage : fieldpts STL {point}");
  const FacetView model = LoadPlainModel(engine, argv[1]);
  PrintVolumeLine(model);
  if (argc == 2) {
    PrintFacetLines(engine, model);
  } else {
    const bool from_stdin = argv[2][0] == '-';
    FILE* in = from_stdin ? stdin : OpenInput(argv[2], "r");
    if (!in) Error("point file not found.");
    if (engine.Batch() == SIZE_MAX)
      BatchPoints(engine, in);
    else
      StreamPoints(engine, in);
    if (!from_stdin) std::fclose(in);
  }
  engine.Release();
  return FinishOutput();
}
