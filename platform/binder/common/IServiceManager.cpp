// Stands for the registry interface of the platform's libbinder.
#include <binder/IServiceManager.h>

namespace android {

const String16& IServiceManager::descriptor() {
    static const String16 name("android.os.IServiceManager");
    return name;
}

} // namespace android
