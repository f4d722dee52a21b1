// zuntal_version.cpp - the version string libzuntal was built with, so that a
// server can compare it with ZUNTAL_VERSION_STRING of the header it compiled
// against.
#include "zuntal_version.h"

extern "C" const char* zuntal_version(void) {
  return ZUNTAL_VERSION_STRING;
}
