// Pieces shared by the field commands: the volume line, the 13-column facet
// line, and the evaluation of the field at every facet centroid in chunks.
#pragma once

#include <cstdio>
#include <functional>

#include "common/facet.h"
#include "engine/engine.h"
#include "engine/terms.h"

// Starts the engine (THREADS), reads the model as plain facets and loads it
// into the engine (the table); the facets live until the program ends.
FacetView LoadPlainModel(FieldEngine& engine, const char* path);

// Prints the volume and centroid line; returns the centroid.
terms::Vec PrintVolumeLine(const FacetView& model);

// The field at every facet centroid, one 13-column line per facet.
void PrintFacetLines(FieldEngine& engine, const FacetView& model);

// Volume and centroid of the model by the volume and centroid rule.
terms::VolumeSum ModelVolume(const FacetView& model);

// "%le\t%le\t%le\t%le\n": four numbers (volume and centroid, or a field).
void PrintFour(double a, double b, double c, double d);

// The 13-column line: the facet's nine stored coordinates, then U, gx, gy, gz.
void PrintFacetLine(const float* v, double U, double gx, double gy, double gz);

// Centroid of facet v: ((x1 + x2) + x3)/3 in double, likewise y and z.
terms::Vec FacetCentroid(const float* v);

// The result arrays P, X, Y and Z of `count` points, in one block (free
// with out.U); "memory allocation error for P, X, Y and Z." when it cannot
// be had.
FieldOut AllocateMemory(size_t count);

// Which results a command needs at the centroids.
enum class Want { kAll, kPotential, kAttraction };

// Evaluates the field at the centroid of every facet, in facet order, in
// chunks of the engine's batch (all at once for the threaded engine, whose
// result arrays of N doubles fail with "memory allocation error for P, X, Y
// and Z."). After each chunk, sink(first, count, results) sees the results
// of facets first .. first + count - 1 at index 0 .. count - 1.
void AtCentroids(FieldEngine& engine, const FacetView& model, Want want,
                 const std::function<void(size_t first, size_t count, const FieldOut&)>& sink);
