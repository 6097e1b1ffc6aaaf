// Stands for the platform's registry in tests without a kernel driver: an
// in-process table of local objects. A call on one of them runs its
// onTransact directly, as the platform does for objects in the same process.
#include <binder/IServiceManager.h>

#include <binder/Binder.h>
#include <binder_local.h>

#include <utility>
#include <vector>

#include "../common/runtime.h"

namespace android {

namespace {

class LocalServiceManager : public IServiceManager {
  public:
    sp<IBinder> checkService(const String16& name) const override {
        for (const auto& entry : mServices) {
            if (entry.first == name)
                return entry.second;
        }
        return nullptr;
    }

    Vector<String16> listServices() override {
        Vector<String16> names;
        for (const auto& entry : mServices)
            names.push_back(entry.first);
        return names;
    }

    status_t addService(const String16& name, const sp<IBinder>& service,
                        bool /*allowIsolated*/) override {
        if (service == nullptr)
            return BAD_VALUE;
        for (auto& entry : mServices) {
            if (entry.first == name) {
                entry.second = service;
                return NO_ERROR;
            }
        }
        mServices.emplace_back(name, service);
        return NO_ERROR;
    }

  private:
    std::vector<std::pair<String16, sp<IBinder>>> mServices;
};

sp<IServiceManager>& current() {
    static sp<IServiceManager> sm = new LocalServiceManager();
    return sm;
}

} // namespace

sp<IServiceManager> makeLocalServiceManager() {
    return new LocalServiceManager();
}

void setDefaultServiceManager(const sp<IServiceManager>& sm) {
    current() = sm;
}

sp<IServiceManager> defaultServiceManager() {
    return current();
}

sp<IBinder> runtimeProxyForHandle(uint32_t /*handle*/) {
    return nullptr;
}

} // namespace android
