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

void StreamPoints(FieldEngine& engine, FILE* in) {
  const bool flush = Interactive(in) || Interactive(stdout);
  double p[3], U, gx, gy, gz;
  if (flush) std::fflush(stdout);  // the volume line, before the first point is awaited
  while (NextPoint(in, p)) {
    engine.Evaluate(1, &p[0], &p[1], &p[2], {&U, &gx, &gy, &gz});
    PrintPointLine(p[0], p[1], p[2], U, gx, gy, gz);
    if (flush) std::fflush(stdout);
  }
}

// Reads every point first (arrays grown geometrically), evaluates them all,
// then prints them in input order.
void BatchPoints(FieldEngine& engine, FILE* in) {
  size_t count = 0, capacity = 0;
  double* xyz = nullptr;  // x, y, z interleaved while reading
  double p[3];
  while (NextPoint(in, p)) {
    if (count == capacity) {
      capacity = capacity ? 2 * capacity : 1024;
      double* grown =
          capacity > SIZE_MAX / (3 * sizeof(double))
              ? nullptr
              : static_cast<double*>(std::realloc(xyz, 3 * sizeof(double) * capacity));
      if (!grown) Error("memory re-allocation error for X0, Y0 and Z0.");
      xyz = grown;
    }
    for (int k = 0; k < 3; ++k) xyz[3 * count + k] = p[k];
    ++count;
  }
  if (count == 0) return;
  double* arrays = static_cast<double*>(std::malloc(sizeof(double) * 7 * count));
  if (!arrays) Error("memory allocation error for P, X, Y and Z.");
  double *x = arrays, *y = x + count, *z = y + count;
  for (size_t i = 0; i < count; ++i) {
    x[i] = xyz[3 * i];
    y[i] = xyz[3 * i + 1];
    z[i] = xyz[3 * i + 2];
  }
  std::free(xyz);
  const FieldOut out{z + count, z + 2 * count, z + 3 * count, z + 4 * count};
  engine.Evaluate(count, x, y, z, out);
  for (size_t i = 0; i < count; ++i)
    PrintPointLine(x[i], y[i], z[i], out.U[i], out.gx[i], out.gy[i], out.gz[i]);
  std::free(arrays);
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
