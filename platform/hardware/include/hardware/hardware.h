/* Stand-in for the platform's <hardware/hardware.h>: the hardware-module and
 * device headers of the generation whose module version is two 16-bit halves.
 * Layouts follow the 32-bit ARM device; the same source builds on the host. */
#ifndef HARDWARE_HARDWARE_H
#define HARDWARE_HARDWARE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MAKE_TAG_CONSTANT(A, B, C, D)                                                              \
    (((uint32_t)(A) << 24) | ((uint32_t)(B) << 16) | ((uint32_t)(C) << 8) | (uint32_t)(D))

#define HARDWARE_MODULE_TAG MAKE_TAG_CONSTANT('H', 'W', 'M', 'T')
#define HARDWARE_DEVICE_TAG MAKE_TAG_CONSTANT('H', 'W', 'D', 'T')

/* The data symbol every module exports and the loader looks up. */
#define HAL_MODULE_INFO_SYM HMI
#define HAL_MODULE_INFO_SYM_AS_STR "HMI"

struct hw_module_t;
struct hw_module_methods_t;
struct hw_device_t;

typedef struct hw_module_t {
    uint32_t tag;
    uint16_t version_major;
    uint16_t version_minor;
    const char* id;
    const char* name;
    const char* author;
    struct hw_module_methods_t* methods;
    void* dso;
    uint32_t reserved[32 - 7];
} hw_module_t;

typedef struct hw_module_methods_t {
    int (*open)(const struct hw_module_t* module, const char* id, struct hw_device_t** device);
} hw_module_methods_t;

typedef struct hw_device_t {
    uint32_t tag;
    uint32_t version;
    struct hw_module_t* module;
    uint32_t reserved[12];
    int (*close)(struct hw_device_t* device);
} hw_device_t;

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define HW_STATIC_ASSERT static_assert
#else
#define HW_STATIC_ASSERT _Static_assert
#endif

HW_STATIC_ASSERT(HARDWARE_MODULE_TAG == 0x48574D54u, "module tag is 'HWMT'");
HW_STATIC_ASSERT(HARDWARE_DEVICE_TAG == 0x48574454u, "device tag is 'HWDT'");
#if UINTPTR_MAX == 0xffffffffu
/* The device's loader reads these at fixed offsets. */
HW_STATIC_ASSERT(sizeof(hw_module_t) == 128, "hw_module_t layout");
HW_STATIC_ASSERT(sizeof(hw_device_t) == 64, "hw_device_t layout");
#endif

#endif /* HARDWARE_HARDWARE_H */
