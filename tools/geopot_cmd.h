// The geopot command: potential at every facet centroid normalised by the
// potential at the solid's centroid.
#pragma once

#include "engine/engine.h"

int GeopotMain(int argc, char** argv, FieldEngine& engine);
