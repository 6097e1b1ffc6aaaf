// Command line, the list and check queries, and the descriptor query.
#include <binder/Parcel.h>
#include <binder/TextOutput.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "service.h"
#include "string_chars.h"

using namespace android;

namespace service {

const char kUsage[] = "Usage: service [-h|-?]\n"
                      "       service list\n"
                      "       service check SERVICE\n"
                      "       service call SERVICE CODE [i32 INT | s16 STR] ...\n"
                      "Options:\n"
                      "   i32: Write the integer INT into the send parcel.\n"
                      "   s16: Write the UTF-16 string STR into the send parcel.\n";

String16 queryInterfaceDescriptor(const sp<IBinder>& service) {
    if (service == nullptr)
        return String16();
    Parcel data, reply;
    status_t err = service->transact(IBinder::INTERFACE_TRANSACTION, data, &reply, 0);
    if (err != NO_ERROR)
        return String16();
    return reply.readString16();
}

namespace {

void appendCodePoint(std::string& out, uint32_t cp) {
    char buf[8] = {};
    if (cp < 0x20 || cp == 0x7F) {
        // From another process: raw, it could move the cursor, clear the
        // screen or end the line early and forge the next one.
        snprintf(buf, sizeof(buf), "\\x%02x", static_cast<unsigned>(cp));
    } else if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
        // The C1 controls, which some terminals obey as they do ESC, and the
        // line and paragraph separators, where Unicode-aware readers end a line.
        snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(cp));
    } else if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    out.append(buf);
}

int runCheck(RunState& run, int argc, char** argv, int k) {
    if (k + 1 >= argc)
        return usageError(run, "service: No service specified for check");
    const char* name = argv[k + 1];
    sp<IBinder> service = run.sm->checkService(String16(name));
    aout << "Service " << name << (service == nullptr ? ": not found" : ": found") << endl;
    return run.status;
}

int runList(RunState& run) {
    Vector<String16> services = run.sm->listServices();
    aout << "Found " << services.size() << " services:" << endl;
    for (size_t i = 0; i < services.size(); ++i) {
        sp<IBinder> service = run.sm->checkService(services[i]);
        aout << i << "\t" << chars(narrowString16(services[i])) << ": [";
        aout << chars(narrowString16(queryInterfaceDescriptor(service))) << "]" << endl;
    }
    return run.status;
}

// A standard descriptor closed by whoever started the command would be the number that the
// driver gets, and the output would be written into the driver. Each closed one is held on
// /dev/null before the registry is reached.
bool holdStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

int dispatch(RunState& run, int argc, char** argv) {
    // '+': scanning stops at the first word that is not an option, as POSIX
    // getopt does; without it glibc would take options after the command.
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "+h?")) != -1)
        run.wantsUsage = true;

    if (run.wantsUsage || optind >= argc) {
        aout << kUsage;
        return run.status;
    }
    const int k = optind;
    const char* command = argv[k];
    if (strcmp(command, "check") == 0)
        return runCheck(run, argc, argv, k);
    if (strcmp(command, "list") == 0)
        return runList(run);
    if (strcmp(command, "call") == 0)
        return runCall(run, argc, argv, k);
    return usageError(run, "service: Unknown command ", command);
}

} // namespace

String8 narrowString16(const String16& str) {
    // Built here and handed over once: String8 grows by exact reallocation,
    // which copies a long name once per character.
    std::string out;
    const char16_t* units = chars(str);
    const size_t len = str.size();
    for (size_t i = 0; i < len; ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < len && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        appendCodePoint(out, cp);
    }
    return String8(out.data(), out.size());
}

int usageError(RunState& run, const char* line, const char* word) {
    aerr << line << word << endl;
    run.status = kUsageError;
    aout << kUsage;
    return run.status;
}

int serviceMain(int argc, char** argv) {
    if (!holdStandardDescriptors()) {
        aerr << "service: cannot open /dev/null" << endl;
        return kNoRegistry;
    }
    RunState run;
    run.sm = defaultServiceManager();
    fflush(stdout);
    if (run.sm == nullptr) {
        aerr << "service: Unable to get default service manager!" << endl;
        return kNoRegistry;
    }
    const int status = dispatch(run, argc, argv);
    run.sm.clear();
    return status;
}

} // namespace service
