// Test support: the message of the Failure a call throws.
#pragma once

#include <functional>
#include <string>

#include "common/failure.h"

// What `f` is refused with (the bare spelling), or "(accepted)".
inline std::string Refusal(const std::function<void()>& f) {
  try {
    f();
  } catch (const Failure& e) {
    return e.what();
  }
  return "(accepted)";
}
