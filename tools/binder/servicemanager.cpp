// The registry on the kernel driver: becomes the context manager (handle 0)
// and keeps names in the order of registration. A service whose process has
// died stays listed; calls on it fail with a dead reply.
#include <binder/Binder.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "fault.h"

using namespace android;

namespace {

const char kUsage[] =
    "Usage: servicemanager [-h] [-x N | -w N | -g N | -r]\n"
    "Serves the binder service registry on /dev/binder until killed.\n"
    "  -x N  the Nth query (one name of the listing, or a lookup) ends the process\n"
    "        without a reply\n"
    "  -w N  the Nth query is held until the process is killed\n"
    "  -g N  the Nth query is answered with success and a reply that holds no item\n"
    "  -r    the listing goes round: index I past the last is answered with name I mod\n"
    "        their number, so it never ends\n";

using samples::Fault;

class Registry : public BBinder {
  public:
    Registry(Fault fault, long at) : mFault(fault), mFaultAt(at) {}

  protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code < FIRST_CALL_TRANSACTION || code > LAST_CALL_TRANSACTION) {
            return BBinder::onTransact(code, data, reply, flags);
        }
        if (!data.enforceInterface(IServiceManager::descriptor()))
            return PERMISSION_DENIED;
        if ((code == IServiceManager::CHECK_SERVICE_TRANSACTION ||
             code == IServiceManager::LIST_SERVICES_TRANSACTION) &&
            countQuery()) {
            // A registry that lies: "done", with four bytes that are neither a
            // name nor a binder.
            return reply->writeInt32(7);
        }
        switch (code) {
        case IServiceManager::CHECK_SERVICE_TRANSACTION: {
            String16 name;
            if (data.readString16(&name) != NO_ERROR)
                return BAD_VALUE;
            return reply->writeStrongBinder(find(name));
        }
        case IServiceManager::ADD_SERVICE_TRANSACTION: {
            String16 name;
            if (data.readString16(&name) != NO_ERROR || name.size() == 0)
                return BAD_VALUE;
            sp<IBinder> service = data.readStrongBinder();
            if (service == nullptr)
                return BAD_VALUE;
            add(name, service);
            return reply->writeInt32(NO_ERROR);
        }
        case IServiceManager::LIST_SERVICES_TRANSACTION: {
            // One name per call: the whole list need not fit one transaction.
            int32_t index;
            if (data.readInt32(&index) != NO_ERROR)
                return BAD_VALUE;
            if (mFault == Fault::kWrap && index >= 0 && !mServices.empty())
                index = static_cast<int32_t>(static_cast<size_t>(index) % mServices.size());
            if (index < 0 || static_cast<size_t>(index) >= mServices.size())
                return BAD_INDEX;
            return reply->writeString16(mServices[static_cast<size_t>(index)].first);
        }
        default:
            return UNKNOWN_TRANSACTION;
        }
    }

  private:
    // True when this query is to be answered with a garbled reply.
    bool countQuery() {
        if (mFault == Fault::kNone || mFault == Fault::kWrap || ++mQueries != mFaultAt)
            return false;
        if (mFault == Fault::kGarble)
            return true;
        samples::failNow("servicemanager", mFault, ("query " + std::to_string(mQueries)).c_str());
    }

    sp<IBinder> find(const String16& name) const {
        for (const auto& entry : mServices) {
            if (entry.first == name)
                return entry.second;
        }
        return nullptr;
    }

    // A name registered again keeps its place and takes the new object.
    void add(const String16& name, const sp<IBinder>& service) {
        for (auto& entry : mServices) {
            if (entry.first == name) {
                entry.second = service;
                return;
            }
        }
        mServices.emplace_back(name, service);
    }

    std::vector<std::pair<String16, sp<IBinder>>> mServices;
    const Fault mFault;
    const long mFaultAt;
    long mQueries = 0;
};

} // namespace

int main(int argc, char** argv) {
    Fault fault = Fault::kNone;
    long at = 0;
    int opt;
    while ((opt = getopt(argc, argv, "hx:w:g:r")) != -1) {
        if (opt == 'h') {
            fputs(kUsage, stdout);
            return 0;
        }
        if (opt == 'r' && fault == Fault::kNone) {
            fault = Fault::kWrap;
            continue;
        }
        char* end = nullptr;
        if ((opt != 'x' && opt != 'w' && opt != 'g') || fault != Fault::kNone ||
            (at = strtol(optarg, &end, 10)) < 1 || *end != '\0') {
            fputs(kUsage, stderr);
            return 2;
        }
        fault = opt == 'x' ? Fault::kExit : opt == 'w' ? Fault::kHold : Fault::kGarble;
    }
    if (optind < argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    sp<ProcessState> proc = ProcessState::self();
    if (!proc->isOpen()) {
        fprintf(stderr, "servicemanager: cannot open /dev/binder\n");
        return 1;
    }
    if (!proc->becomeContextManager(new Registry(fault, at))) {
        perror("servicemanager: BINDER_SET_CONTEXT_MGR");
        return 1;
    }
    printf("servicemanager: serving the registry\n");
    fflush(stdout);
    IPCThreadState::self()->joinThreadPool();
    fprintf(stderr, "servicemanager: driver failed\n");
    return 1;
}
