// internal.h - links between the framework layer's sources; not installed.
#ifndef TAVRO_INTERNAL_H
#define TAVRO_INTERNAL_H

#include "tavro.h"

namespace tavro {
namespace internal {
// Stops `c` from being the current clock (if it is) and waits until no
// thread is inside TAVROsleep or TAVROtime on it any more.
void retire_clock(Clock* c);
}  // namespace internal
}  // namespace tavro

#endif  // TAVRO_INTERNAL_H
