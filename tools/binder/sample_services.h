// Services with known behaviour, for trying `service` by hand and in tests.
#pragma once

#include <binder/Binder.h>
#include <binder/IServiceManager.h>

namespace samples {

// Answers the descriptor transaction with its descriptor and every other
// call with a reply of: the code, the flags, then the request's bytes.
class EchoService : public android::BBinder {
  public:
    explicit EchoService(const char* descriptor) : BBinder(android::String16(descriptor)) {}

  protected:
    android::status_t onTransact(uint32_t code, const android::Parcel& data, android::Parcel* reply,
                                 uint32_t flags) override;
};

// Fails the descriptor transaction.
class NoInterfaceService : public android::BBinder {
  public:
    NoInterfaceService() : BBinder(android::String16("vardel.INoInterface")) {}

  protected:
    android::status_t onTransact(uint32_t code, const android::Parcel& data, android::Parcel* reply,
                                 uint32_t flags) override;
};

// Writes its whole reply, as EchoService does, and then fails the call: the
// descriptor query too, or only the other calls. A caller that reads the
// reply without looking at the status takes the failure for an answer. Over
// the kernel driver a failed reply carries only its status, so this shows
// in-process.
class FailsAfterReplyService : public EchoService {
  public:
    explicit FailsAfterReplyService(bool failDescriptor)
        : EchoService("vardel.IFailsLate"), mFailDescriptor(failDescriptor) {}

  protected:
    android::status_t onTransact(uint32_t code, const android::Parcel& data, android::Parcel* reply,
                                 uint32_t flags) override;

  private:
    const bool mFailDescriptor;
};

constexpr const char kEchoName[] = "echo";
constexpr const char kEchoDescriptor[] = "vardel.IEcho";

// Registers, in this order: "echo" (EchoService), "anonymous" (a plain
// object with an empty descriptor), "mute" (NoInterfaceService).
android::status_t registerSampleServices(android::IServiceManager& sm);

} // namespace samples
