// The listing's baseline on the kernel driver, and a timer that runs it side
// by side with `service list`.
//
//   service-bench bare          the listing (one name per transaction), then
//                               per name one lookup and one descriptor query;
//                               no registry probe, no text
//   service-bench time REPS     runs `service list` and `service-bench bare`
//                               alternately REPS times each, prints
//                               "ours US" / "bare US" per run (wall time of
//                               the whole process, its output to /dev/null)
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

using namespace android;

namespace {

const char kUsage[] = "Usage: service-bench bare\n"
                      "       service-bench time REPS\n";

int bare() {
    // The registry's handle without the ping that defaultServiceManager
    // sends: the baseline makes only the listing's own transactions.
    sp<IBinder> registry = ProcessState::self()->getStrongProxyForHandle(0);
    if (registry == nullptr) {
        fprintf(stderr, "service-bench: cannot open /dev/binder\n");
        return 1;
    }
    // The names by index until the registry's error, then per name one
    // lookup and one descriptor query, as `service list` does.
    Vector<String16> names;
    for (int32_t i = 0; i < INT32_MAX; ++i) {
        Parcel data, reply;
        data.writeInterfaceToken(IServiceManager::descriptor());
        data.writeInt32(i);
        String16 name;
        if (registry->transact(IServiceManager::LIST_SERVICES_TRANSACTION, data, &reply, 0) !=
                NO_ERROR ||
            reply.readString16(&name) != NO_ERROR)
            break;
        names.push_back(name);
    }
    const size_t count = names.size();
    size_t described = 0;
    for (size_t i = 0; i < count; ++i) {
        Parcel query, found;
        query.writeInterfaceToken(IServiceManager::descriptor());
        query.writeString16(names[i]);
        if (registry->transact(IServiceManager::CHECK_SERVICE_TRANSACTION, query, &found, 0) !=
            NO_ERROR)
            continue;
        sp<IBinder> service = found.readStrongBinder();
        if (service == nullptr)
            continue;
        Parcel none, descriptor;
        if (service->transact(IBinder::INTERFACE_TRANSACTION, none, &descriptor, 0) == NO_ERROR &&
            descriptor.readString16().size() > 0)
            ++described;
    }
    printf("listed %zu, described %zu\n", count, described);
    return 0;
}

// Wall time in microseconds of one run of argv, or -1 when it fails.
long runOnce(char* const argv[]) {
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return (end.tv_sec - start.tv_sec) * 1000000L + (end.tv_nsec - start.tv_nsec) / 1000;
}

int timeBoth(const char* repsText, const char* self) {
    char* end = nullptr;
    const long reps = strtol(repsText, &end, 10);
    if (*repsText == '\0' || *end != '\0' || reps < 1 || reps > 1000) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::string selfPath(self);
    char ours0[] = "service", ours1[] = "list", bare1[] = "bare";
    char* ours[] = {ours0, ours1, nullptr};
    char* baseline[] = {&selfPath[0], bare1, nullptr};
    for (long i = 0; i < reps; ++i) {
        // Alternating keeps slow phases of the shared machine from landing
        // on one side only; which side goes first alternates too.
        for (int side = 0; side < 2; ++side) {
            const bool oursNow = (side == 0) == (i % 2 == 0);
            const long us = runOnce(oursNow ? ours : baseline);
            if (us < 0) {
                fprintf(stderr, "service-bench: %s failed\n", oursNow ? "service list" : "bare");
                return 1;
            }
            printf("%s %ld\n", oursNow ? "ours" : "bare", us);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "bare") == 0)
        return bare();
    if (argc == 3 && strcmp(argv[1], "time") == 0) {
        char self[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        if (n <= 0) {
            perror("service-bench: /proc/self/exe");
            return 1;
        }
        self[n] = '\0';
        return timeBoth(argv[2], self);
    }
    fputs(kUsage, argc == 2 && strcmp(argv[1], "-h") == 0 ? stdout : stderr);
    return argc == 2 && strcmp(argv[1], "-h") == 0 ? 0 : 2;
}
