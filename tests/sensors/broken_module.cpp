// Modules the loader must refuse, one per build flavour.
#include <hardware/hardware.h>

#if defined(BROKEN_NO_SYMBOL)
extern "C" {
__attribute__((visibility("default"))) int not_the_descriptor = 1;
}
#else
#if defined(BROKEN_TAG)
#define TAG 0x12345678u
#define ID "sensors"
#elif defined(BROKEN_ID)
#define TAG HARDWARE_MODULE_TAG
#define ID "lights"
#endif
extern "C" {
__attribute__((visibility("default"))) hw_module_t HMI = {
    TAG, 1, 0, ID, "broken", "tests", nullptr, nullptr, {},
};
}
#endif
