/* Stand-in for the platform's hardware-module loader as the sensor service
 * uses it: load <dir>/<id>.<variant>.so, find HMI, check it, fill its dso. */
#ifndef HARDWARE_HW_LOADER_H
#define HARDWARE_HW_LOADER_H

#include <stddef.h>

#include <hardware/hardware.h>

#ifdef __cplusplus
extern "C" {
#endif

/* On success returns 0 and stores the module in *module; the caller ends it
 * with hw_unload_module. On failure returns a negative errno, leaves nothing
 * loaded and writes a one-line reason (no line end) into err. */
int hw_load_module(const char* dir, const char* id, const char* variant,
                   const struct hw_module_t** module, char* err, size_t err_size);

/* Unloads a module that hw_load_module handed out; null is allowed. */
void hw_unload_module(const struct hw_module_t* module);

#ifdef __cplusplus
}
#endif

#endif /* HARDWARE_HW_LOADER_H */
