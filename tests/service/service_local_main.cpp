// `service` on the in-process runtime. SERVICE_TEST_REGISTRY picks the
// registry: "none" (no registry at all), "empty", "garbled" (one service
// whose descriptor reply is malformed), "lying" (every lookup answered with
// a binder record outside the reply's object table), "control" (names and
// descriptors with control characters), or by default the sample services
// followed by one whose name and descriptor are not ASCII and two that fail
// after writing the reply (every call, or all but the descriptor query).
#include <binder/Binder.h>
#include <binder/Parcel.h>
#include <binder_local.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sample_services.h"
#include "service.h"

using namespace android;

namespace {

// Its descriptor reply is a string item whose length runs far past the end.
class GarbledService : public BBinder {
  protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code != INTERFACE_TRANSACTION || reply == nullptr)
            return BBinder::onTransact(code, data, reply, flags);
        reply->writeInt32(INT32_MAX);
        return reply->writeInt32(0);
    }
};

// Answers every lookup with a reply that starts with a copy of a real
// binder record which the reply's object table does not list (the listed
// one follows), as a registry in another process could send.
class LyingServiceManager : public IServiceManager {
  public:
    sp<IBinder> checkService(const String16& /*name*/) const override {
        Parcel record, reply;
        record.writeStrongBinder(mObject);
        reply.write(record.data(), record.dataSize());
        reply.writeStrongBinder(mObject);
        reply.setDataPosition(0);
        return reply.readStrongBinder();
    }
    Vector<String16> listServices() override { return Vector<String16>(); }
    status_t addService(const String16&, const sp<IBinder>&, bool) override {
        return INVALID_OPERATION;
    }

  private:
    const sp<IBinder> mObject = new BBinder(IServiceManager::descriptor());
};

} // namespace

int main(int argc, char** argv) {
    const char* mode = getenv("SERVICE_TEST_REGISTRY");
    if (mode && strcmp(mode, "none") == 0) {
        setDefaultServiceManager(nullptr);
    } else if (mode && strcmp(mode, "lying") == 0) {
        setDefaultServiceManager(new LyingServiceManager());
    } else {
        sp<IServiceManager> sm = makeLocalServiceManager();
        if (mode && strcmp(mode, "garbled") == 0) {
            sm->addService(String16("garbled"), new GarbledService());
        } else if (mode && strcmp(mode, "control") == 0) {
            // ESC sequences, a line end that would forge a listing line, a
            // tab, DEL, NUL and a C1 control; then printable text only.
            static const char16_t name[] = {u'c', 0x1B, u'[', u'2', u'J', 0x07};
            static const char16_t desc[] = {
                u'd', 0x1B, u'[', u'3', u'1', u'm', u'\r', u'\n', u'1', u'\t',  u'f',   u':',  u' ',
                u'[', u']', 0x7F, 0,    0x1F, 0x80, 0x85,  0x9F,  0xA0, 0x2028, 0x2029, 0x2027};
            sm->addService(String16(name, sizeof(name) / 2),
                           new BBinder(String16(desc, sizeof(desc) / 2)));
            sm->addService(String16("a\\b ~"), new BBinder(String16("x\\x1b")));
        } else if (!mode || strcmp(mode, "empty") != 0) {
            samples::registerSampleServices(*sm);
            // e with acute and a pair for U+1F600; the descriptor ends in a
            // lone low surrogate.
            static const char16_t name[] = {u'w', 0xE9, 0xD83D, 0xDE00, u'x'};
            static const char16_t desc[] = {u'd', 0xFC, 0xDC00};
            sm->addService(String16(name, 5), new BBinder(String16(desc, 3)));
            sm->addService(String16("late"), new samples::FailsAfterReplyService(true));
            sm->addService(String16("lateCall"), new samples::FailsAfterReplyService(false));
        }
        setDefaultServiceManager(sm);
    }
    return service::serviceMain(argc, argv);
}
