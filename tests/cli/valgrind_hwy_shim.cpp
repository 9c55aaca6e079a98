// Loaded ahead of the system libraries in the valgrind run of subremove only. libhwy (reached
// through libavcodec -> libjxl) measures its timer in a load-time constructor with RDTSCP; where the
// CPU does not announce RDTSCP, valgrind refuses the instruction and kills the process before
// main. This answers the constructor's one call instead. Nothing on subremove's own paths uses
// libhwy's timer.
#include <cstdint>

namespace hwy {
namespace platform {
uint64_t TimerResolution() { return 1; }
}  // namespace platform
}  // namespace hwy
