// Hooks of the in-process runtime for host tests; the platform has no such
// header.
#pragma once

#include <binder/IServiceManager.h>

namespace android {

// Replaces what defaultServiceManager() returns (null: no registry).
void setDefaultServiceManager(const sp<IServiceManager>& sm);
// A fresh, empty in-process registry.
sp<IServiceManager> makeLocalServiceManager();

} // namespace android
