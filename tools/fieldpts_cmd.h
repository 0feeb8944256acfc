// The fieldpts command: volume and centroid of an STL model, then the field at
// the points of a point file or at every facet centroid.
#pragma once

#include "engine/engine.h"

int FieldptsMain(int argc, char** argv, FieldEngine& engine);
