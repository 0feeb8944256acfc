// Where an evaluation's results go.
#pragma once

// The four result arrays, in the order U, gx, gy, gz; the results of point i
// at index i. A null array is not wanted.
struct FieldOut {
  double* U = nullptr;
  double* gx = nullptr;
  double* gy = nullptr;
  double* gz = nullptr;
};
