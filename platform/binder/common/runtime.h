// What each runtime (driver or local) supplies to the common binder code.
#pragma once

#include <binder/IBinder.h>
#include <utils/StrongPointer.h>

namespace android {

// The proxy for a handle found in a received parcel; null where the runtime
// has no driver.
sp<IBinder> runtimeProxyForHandle(uint32_t handle);

} // namespace android
