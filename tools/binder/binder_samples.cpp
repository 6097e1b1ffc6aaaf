// Registers the sample services with the registry on the kernel driver and
// serves them until killed.
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <stdio.h>
#include <string.h>

#include "sample_services.h"

using namespace android;

namespace {
const char kUsage[] =
    "Usage: binder-samples [-h] [NAME...]\n"
    "Without NAME registers echo, anonymous (empty descriptor) and mute (fails the\n"
    "descriptor query); with NAMEs registers one echo service under each NAME.\n"
    "Then serves them until killed.\n";
}

int main(int argc, char** argv) {
    if (argc > 1 && argv[1][0] == '-') {
        const bool help = strcmp(argv[1], "-h") == 0;
        fputs(kUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    sp<IServiceManager> sm = defaultServiceManager();
    if (sm == nullptr) {
        fprintf(stderr, "binder-samples: no registry on /dev/binder\n");
        return 1;
    }
    status_t err = NO_ERROR;
    if (argc == 1) {
        err = samples::registerSampleServices(*sm);
    } else {
        for (int i = 1; i < argc && err == NO_ERROR; ++i) {
            err = sm->addService(String16(argv[i]),
                                 new samples::EchoService(samples::kEchoDescriptor));
        }
    }
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
