// Stands for the platform's <binder/IPCThreadState.h>: the command stream
// to and from the kernel driver. This runtime serves one thread per process,
// so self() is one instance for the whole process.
#pragma once

#include <stdint.h>
#include <utils/Errors.h>

#include <binder/Parcel.h>

namespace android {

class IPCThreadState {
  public:
    static IPCThreadState* self();

    status_t transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                      uint32_t flags);
    void incStrongHandle(uint32_t handle);
    void decStrongHandle(uint32_t handle);
    // Sends what is queued (reference drops, freed buffers) without waiting.
    void flushCommands();
    // Serves incoming transactions until the driver fails.
    void joinThreadPool();

  private:
    IPCThreadState();
    status_t talkWithDriver(bool doReceive);
    status_t waitForResponse(Parcel* reply, bool oneway);
    status_t executeCommand(uint32_t cmd);
    status_t sendReply(const Parcel& reply, status_t status);
    status_t writeTransactionData(uint32_t cmd, uint32_t flags, uint32_t handle, uint32_t code,
                                  const Parcel& data, const status_t* statusBuffer);
    bool readIn(void* out, size_t len);
    static void freeBuffer(const uint8_t* data, void* cookie);

    Parcel mOut;
    uint8_t mInBuf[256];
    size_t mInSize = 0;
    size_t mInPos = 0;
};

} // namespace android
