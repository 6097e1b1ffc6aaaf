// Stands for the platform's <binder/IServiceManager.h>: the service registry
// and the process's handle on it.
#pragma once

#include <binder/IBinder.h>
#include <utils/StrongPointer.h>
#include <utils/Vector.h>

namespace android {

class IServiceManager : public virtual RefBase {
  public:
    // Registry protocol over the driver (handle 0).
    enum {
        CHECK_SERVICE_TRANSACTION = IBinder::FIRST_CALL_TRANSACTION + 1,
        ADD_SERVICE_TRANSACTION,
        LIST_SERVICES_TRANSACTION,
    };
    static const String16& descriptor();

    // Null when no service of that name is registered.
    virtual sp<IBinder> checkService(const String16& name) const = 0;
    // Names in the order of registration.
    virtual Vector<String16> listServices() = 0;
    virtual status_t addService(const String16& name, const sp<IBinder>& service,
                                bool allowIsolated = false) = 0;

  protected:
    ~IServiceManager() override = default;
};

// Null when this process cannot reach a registry.
sp<IServiceManager> defaultServiceManager();

} // namespace android
