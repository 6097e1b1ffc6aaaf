// Stands for the platform's registry proxy (libbinder): the registry is the
// driver's context manager, handle 0.
#include <binder/IServiceManager.h>

#include <binder/Parcel.h>
#include <binder/ProcessState.h>

#include <set>

namespace android {

namespace {

class BpServiceManager : public IServiceManager {
  public:
    explicit BpServiceManager(const sp<IBinder>& remote) : mRemote(remote) {}

    sp<IBinder> checkService(const String16& name) const override {
        Parcel data, reply;
        data.writeInterfaceToken(descriptor());
        data.writeString16(name);
        if (mRemote->transact(CHECK_SERVICE_TRANSACTION, data, &reply, 0) != NO_ERROR) {
            return nullptr;
        }
        return reply.readStrongBinder();
    }

    // One name per transaction, asked for by index until the registry says
    // there is none: a listing of any size fits the mapping, one name at a time.
    // Names are the registry's keys: one that comes again means that it went
    // round (or ignores the index), and would be listed for ever.
    Vector<String16> listServices() override {
        Vector<String16> names;
        std::set<String16> seen;
        for (int32_t i = 0; i < INT32_MAX; ++i) {
            Parcel data, reply;
            data.writeInterfaceToken(descriptor());
            data.writeInt32(i);
            if (mRemote->transact(LIST_SERVICES_TRANSACTION, data, &reply, 0) != NO_ERROR)
                break;
            String16 name;
            if (reply.readString16(&name) != NO_ERROR || !seen.insert(name).second)
                break;
            names.push_back(name);
        }
        return names;
    }

    status_t addService(const String16& name, const sp<IBinder>& service,
                        bool allowIsolated) override {
        Parcel data, reply;
        data.writeInterfaceToken(descriptor());
        data.writeString16(name);
        data.writeStrongBinder(service);
        data.writeInt32(allowIsolated ? 1 : 0);
        status_t err = mRemote->transact(ADD_SERVICE_TRANSACTION, data, &reply, 0);
        if (err != NO_ERROR)
            return err;
        int32_t result = UNKNOWN_ERROR;
        reply.readInt32(&result);
        return result;
    }

  private:
    sp<IBinder> mRemote;
};

} // namespace

sp<IServiceManager> defaultServiceManager() {
    static sp<IServiceManager>* gDefault = new sp<IServiceManager>();
    if (*gDefault == nullptr) {
        sp<IBinder> context = ProcessState::self()->getContextObject();
        if (context != nullptr)
            *gDefault = new BpServiceManager(context);
    }
    return *gDefault;
}

} // namespace android
