// The plumbline command: deviation of the vertical at every facet centroid.
#pragma once

#include "engine/engine.h"

int PlumblineMain(int argc, char** argv, FieldEngine& engine);
