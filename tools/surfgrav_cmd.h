// The surfgrav command: volume and centre of mass, the field there, and the
// field at every facet centroid beside the facet's vertices.
#pragma once

#include "engine/engine.h"

int SurfgravMain(int argc, char** argv, FieldEngine& engine);
