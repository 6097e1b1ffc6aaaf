// Registers the sample services with the registry on the kernel driver and
// serves them until killed.
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
#include "sample_services.h"

using namespace android;

namespace {

const char kUsage[] =
    "Usage: binder-samples [-h] [-L LEN] [-n COUNT] [-x NAME] [-w NAME] [NAME...]\n"
    "Without arguments registers echo, anonymous (empty descriptor) and mute (fails the\n"
    "descriptor query); otherwise only what is asked for:\n"
    "  NAME      an echo service under NAME\n"
    "  -n COUNT  COUNT echo services named echo0, echo1, ...\n"
    "  -L LEN    (before -n) those names padded with x to LEN characters\n"
    "  -x NAME   a service whose calls end this process without a reply (status 3)\n"
    "  -w NAME   a service whose calls are held until this process is killed\n"
    "Then serves them until killed.\n";

// A service that fails its calls on purpose: the process dies with the call on
// its stack, as a crashing service would, or keeps the call in progress so
// that a test can kill the process under it.
class FaultyService : public samples::EchoService {
  public:
    explicit FaultyService(samples::Fault fault)
        : EchoService(samples::kEchoDescriptor), mFault(fault) {}

  protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == INTERFACE_TRANSACTION)
            return EchoService::onTransact(code, data, reply, flags);
        samples::failNow("binder-samples", mFault, ("call " + std::to_string(code)).c_str());
    }

  private:
    const samples::Fault mFault;
};

bool parseCount(const char* text, long* out, long max = 100000) {
    char* end = nullptr;
    long n = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || n < 0 || n > max)
        return false;
    *out = n;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<std::string, sp<IBinder>>> services;
    int opt;
    long count = 0, length = 0;
    while ((opt = getopt(argc, argv, "+hL:n:x:w:")) != -1) {
        switch (opt) {
        case 'h':
            fputs(kUsage, stdout);
            return 0;
        case 'L':
            // A name must fit one transaction of the registry's mapping.
            if (!parseCount(optarg, &length, 200000)) {
                fprintf(stderr, "binder-samples: bad LEN %s\n", optarg);
                return 2;
            }
            break;
        case 'n':
            if (!parseCount(optarg, &count)) {
                fprintf(stderr, "binder-samples: bad COUNT %s\n", optarg);
                return 2;
            }
            for (long i = 0; i < count; ++i) {
                std::string name = "echo" + std::to_string(i);
                if (static_cast<long>(name.size()) < length)
                    name.resize(static_cast<size_t>(length), 'x');
                services.emplace_back(name, new samples::EchoService(samples::kEchoDescriptor));
            }
            break;
        case 'x':
            services.emplace_back(optarg, new FaultyService(samples::Fault::kExit));
            break;
        case 'w':
            services.emplace_back(optarg, new FaultyService(samples::Fault::kHold));
            break;
        default:
            fputs(kUsage, stderr);
            return 2;
        }
    }
    for (int i = optind; i < argc; ++i)
        services.emplace_back(argv[i], new samples::EchoService(samples::kEchoDescriptor));

    sp<IServiceManager> sm = defaultServiceManager();
    if (sm == nullptr) {
        fprintf(stderr, "binder-samples: no registry on /dev/binder\n");
        return 1;
    }
    const bool defaults = argc == 1;
    status_t err = defaults ? samples::registerSampleServices(*sm) : NO_ERROR;
    for (size_t i = 0; i < services.size() && err == NO_ERROR; ++i)
        err = sm->addService(String16(services[i].first.c_str()), services[i].second);
    if (err != NO_ERROR) {
        fprintf(stderr, "binder-samples: registration failed (%d)\n", err);
        return 1;
    }
    printf("binder-samples: serving\n");
    fflush(stdout);
    IPCThreadState::self()->joinThreadPool();
    fprintf(stderr, "binder-samples: driver failed\n");
    return 1;
}
