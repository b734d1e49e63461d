// Stand-ins for a damaged engine library: built once without the Run export and
// once with an Init that refuses its runtime image.
#include <cstdint>

extern "C" {

__attribute__((visibility("default"))) int Init(int32_t, const void*) {
#ifdef KAVRO_INIT_FAILS
    return 7;
#else
    return 0;
#endif
}

#ifndef KAVRO_OMIT_RUN
__attribute__((visibility("default"))) int Run(int32_t, const char* const*, void (*)(const char*)) {
    return 0;
}
#endif
}
