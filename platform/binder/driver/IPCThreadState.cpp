// Stands for the platform's IPCThreadState (libbinder): commands to the
// driver (BC_*) are queued in mOut and sent with BINDER_WRITE_READ, which
// also brings back the driver's returns (BR_*).
#include <binder/IPCThreadState.h>

#include <binder/Binder.h>
#include <binder/ProcessState.h>
#include <errno.h>
#include <linux/android/binder.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

namespace android {

namespace {
// The registry's handle lives as long as the driver context; it is never
// counted.
constexpr uint32_t kContextHandle = 0;
static_assert(sizeof(binder_transaction_data) == 64, "64-bit binder ABI");
} // namespace

IPCThreadState* IPCThreadState::self() {
    // Never destroyed: proxies held by other statics release through it at exit.
    static IPCThreadState* gSelf = new IPCThreadState();
    return gSelf;
}

IPCThreadState::IPCThreadState() = default;

void IPCThreadState::incStrongHandle(uint32_t handle) {
    if (handle == kContextHandle)
        return;
    mOut.writeUint32(BC_ACQUIRE);
    mOut.writeUint32(handle);
}

void IPCThreadState::decStrongHandle(uint32_t handle) {
    if (handle == kContextHandle)
        return;
    mOut.writeUint32(BC_RELEASE);
    mOut.writeUint32(handle);
}

void IPCThreadState::flushCommands() {
    if (ProcessState::self()->isOpen())
        talkWithDriver(false);
}

void IPCThreadState::freeBuffer(const uint8_t* data, void* /*cookie*/) {
    IPCThreadState* self = IPCThreadState::self();
    self->mOut.writeUint32(BC_FREE_BUFFER);
    binder_uintptr_t ptr = reinterpret_cast<uintptr_t>(data);
    self->mOut.write(&ptr, sizeof(ptr));
}

status_t IPCThreadState::talkWithDriver(bool doReceive) {
    const int fd = ProcessState::self()->driverFd();
    if (fd < 0)
        return NO_INIT;
    const bool needRead = mInPos >= mInSize;
    binder_write_read bwr = {};
    bwr.write_size = mOut.dataSize();
    bwr.write_buffer = reinterpret_cast<uintptr_t>(mOut.data());
    if (doReceive && needRead) {
        bwr.read_size = sizeof(mInBuf);
        bwr.read_buffer = reinterpret_cast<uintptr_t>(mInBuf);
    }
    if (bwr.write_size == 0 && bwr.read_size == 0)
        return NO_ERROR;
    int rc;
    do {
        rc = ioctl(fd, BINDER_WRITE_READ, &bwr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return -errno;
    if (bwr.write_consumed >= mOut.dataSize()) {
        mOut.freeData();
    } else if (bwr.write_consumed > 0) {
        std::vector<uint8_t> rest(mOut.data() + bwr.write_consumed, mOut.data() + mOut.dataSize());
        mOut.freeData();
        mOut.write(rest.data(), rest.size());
    }
    if (bwr.read_size) {
        mInSize = bwr.read_consumed;
        mInPos = 0;
    }
    return NO_ERROR;
}

bool IPCThreadState::readIn(void* out, size_t len) {
    if (mInSize - mInPos < len) {
        mInPos = mInSize;
        return false;
    }
    memcpy(out, mInBuf + mInPos, len);
    mInPos += len;
    return true;
}

status_t IPCThreadState::writeTransactionData(uint32_t cmd, uint32_t flags, uint32_t handle,
                                              uint32_t code, const Parcel& data,
                                              const status_t* statusBuffer) {
    binder_transaction_data tr = {};
    tr.target.handle = handle;
    tr.code = code;
    tr.flags = flags;
    if (statusBuffer) {
        tr.flags |= TF_STATUS_CODE;
        tr.data_size = sizeof(status_t);
        tr.data.ptr.buffer = reinterpret_cast<uintptr_t>(statusBuffer);
    } else {
        tr.data_size = data.dataSize();
        tr.data.ptr.buffer = reinterpret_cast<uintptr_t>(data.data());
        tr.offsets_size = data.objects().size() * sizeof(binder_size_t);
        tr.data.ptr.offsets = reinterpret_cast<uintptr_t>(data.objects().data());
    }
    mOut.writeUint32(cmd);
    return mOut.write(&tr, sizeof(tr));
}

status_t IPCThreadState::transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                                  uint32_t flags) {
    if (!ProcessState::self()->isOpen())
        return NO_INIT;
    writeTransactionData(BC_TRANSACTION, flags, handle, code, data, nullptr);
    const bool oneway = (flags & TF_ONE_WAY) != 0;
    Parcel ignored;
    return waitForResponse(oneway ? nullptr : (reply ? reply : &ignored), oneway);
}

status_t IPCThreadState::sendReply(const Parcel& reply, status_t status) {
    writeTransactionData(BC_REPLY, 0, static_cast<uint32_t>(-1), 0, reply,
                         status == NO_ERROR ? nullptr : &status);
    return waitForResponse(nullptr, true);
}

status_t IPCThreadState::waitForResponse(Parcel* reply, bool oneway) {
    for (;;) {
        status_t err = talkWithDriver(true);
        if (err != NO_ERROR)
            return err;
        if (mInPos >= mInSize)
            continue;
        uint32_t cmd;
        if (!readIn(&cmd, sizeof(cmd)))
            continue;
        switch (cmd) {
        case BR_TRANSACTION_COMPLETE:
            if (oneway)
                return NO_ERROR;
            break;
        case BR_DEAD_REPLY:
            return DEAD_OBJECT;
        case BR_FAILED_REPLY:
            return FAILED_TRANSACTION;
        case BR_REPLY: {
            binder_transaction_data tr;
            if (!readIn(&tr, sizeof(tr)))
                return UNKNOWN_ERROR;
            const uint8_t* buffer =
                reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(tr.data.ptr.buffer));
            if (tr.flags & TF_STATUS_CODE) {
                status_t status = UNKNOWN_ERROR;
                if (tr.data_size >= sizeof(status))
                    memcpy(&status, buffer, sizeof(status));
                freeBuffer(buffer, nullptr);
                return status;
            }
            if (reply == nullptr) {
                freeBuffer(buffer, nullptr);
                return NO_ERROR;
            }
            reply->ipcSetDataReference(
                buffer, tr.data_size,
                reinterpret_cast<const uint64_t*>(static_cast<uintptr_t>(tr.data.ptr.offsets)),
                tr.offsets_size / sizeof(binder_size_t), freeBuffer, nullptr);
            return NO_ERROR;
        }
        default:
            err = executeCommand(cmd);
            if (err != NO_ERROR)
                return err;
            break;
        }
    }
}

status_t IPCThreadState::executeCommand(uint32_t cmd) {
    binder_uintptr_t ptr, cookie;
    switch (cmd) {
    case BR_NOOP:
    case BR_SPAWN_LOOPER:
    case BR_FINISHED:
        return NO_ERROR;
    case BR_ERROR: {
        int32_t err = UNKNOWN_ERROR;
        readIn(&err, sizeof(err));
        return err;
    }
    case BR_INCREFS:
    case BR_ACQUIRE:
        if (!readIn(&ptr, sizeof(ptr)) || !readIn(&cookie, sizeof(cookie)))
            return UNKNOWN_ERROR;
        // The driver now holds the object; keep it until BR_RELEASE.
        if (cmd == BR_ACQUIRE && cookie)
            reinterpret_cast<BBinder*>(cookie)->incStrong(this);
        mOut.writeUint32(cmd == BR_ACQUIRE ? BC_ACQUIRE_DONE : BC_INCREFS_DONE);
        mOut.write(&ptr, sizeof(ptr));
        mOut.write(&cookie, sizeof(cookie));
        return NO_ERROR;
    case BR_RELEASE:
    case BR_DECREFS:
        if (!readIn(&ptr, sizeof(ptr)) || !readIn(&cookie, sizeof(cookie)))
            return UNKNOWN_ERROR;
        if (cmd == BR_RELEASE && cookie)
            reinterpret_cast<BBinder*>(cookie)->decStrong(this);
        return NO_ERROR;
    case BR_DEAD_BINDER:
    case BR_CLEAR_DEATH_NOTIFICATION_DONE:
        return readIn(&cookie, sizeof(cookie)) ? NO_ERROR : UNKNOWN_ERROR;
    case BR_TRANSACTION: {
        binder_transaction_data tr;
        if (!readIn(&tr, sizeof(tr)))
            return UNKNOWN_ERROR;
        Parcel buffer;
        buffer.ipcSetDataReference(
            reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(tr.data.ptr.buffer)),
            tr.data_size,
            reinterpret_cast<const uint64_t*>(static_cast<uintptr_t>(tr.data.ptr.offsets)),
            tr.offsets_size / sizeof(binder_size_t), freeBuffer, nullptr);
        sp<BBinder> target = tr.target.ptr ? reinterpret_cast<BBinder*>(tr.cookie)
                                           : ProcessState::self()->contextObject();
        Parcel reply;
        status_t status = target != nullptr ? target->transact(tr.code, buffer, &reply, tr.flags)
                                            : UNKNOWN_TRANSACTION;
        // The request buffer goes back to the driver before the reply.
        buffer.freeData();
        if ((tr.flags & TF_ONE_WAY) == 0)
            return sendReply(reply, status);
        return NO_ERROR;
    }
    default:
        fprintf(stderr, "binder: unexpected driver return 0x%x\n", static_cast<unsigned>(cmd));
        return UNKNOWN_ERROR;
    }
}

void IPCThreadState::joinThreadPool() {
    mOut.writeUint32(BC_ENTER_LOOPER);
    for (;;) {
        status_t err = talkWithDriver(true);
        if (err != NO_ERROR)
            break;
        uint32_t cmd;
        while (mInPos < mInSize && readIn(&cmd, sizeof(cmd))) {
            err = executeCommand(cmd);
            if (err != NO_ERROR && err != UNKNOWN_ERROR)
                break;
        }
    }
}

} // namespace android
