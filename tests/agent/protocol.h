// The agent's bus protocol as its tests expect it, written once: each member the daemon calls,
// the arguments it takes, the line the agent prints and the answer it gives. The agent has its
// own table (agent/agent_object.cpp); this one is the independent expectation.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace protocol {

const char interface[] = "org.velto.Agent";
const char rejected_error[] = "org.velto.Error.Rejected";
const char released[] = "Agent has been released\n";
const char terminated[] = "Agent has been terminated\n";

struct Member {
    const char* name;
    const char* signature; // of the call's arguments
    const char* printed;   // the agent's line: %D the device, %U the value
    const char* answer;    // the reply's argument: "s" the passkey, "u" its number, "" none
    bool rejects;          // -r answers it with rejected_error
    bool delayed;          // -d N waits before the reply
};

inline const Member members[] = {
    {"RequestPinCode", "o", "Pincode request for device %D\n", "s", true, true},
    {"RequestPasskey", "o", "Passkey request for device %D\n", "u", true, true},
    {"RequestConfirmation", "ou", "Confirmation request of %U for device %D\n", "", true, true},
    {"Authorize", "os", "Authorizing request for %D\n", "", true, false},
    {"Cancel", "", "Request canceled\n", "", false, false},
    {"Release", "", "", "", false, false},
};

// The member of that name; the tests name only members of the table.
inline const Member& member(const std::string& name) {
    for (const auto& m : members)
        if (name == m.name)
            return m;
    fprintf(stderr, "protocol.h: no member %s\n", name.c_str());
    abort();
}

// What the agent prints for a call to name with device and value (the number it is asked to
// confirm).
inline std::string printed(const std::string& name, const std::string& device,
                           const std::string& value = "") {
    std::string line = member(name).printed;
    size_t at;
    if ((at = line.find("%U")) != std::string::npos)
        line.replace(at, 2, value);
    if ((at = line.find("%D")) != std::string::npos)
        line.replace(at, 2, device);
    return line;
}

// The line of the reply delay.
inline std::string waiting(int seconds) {
    return "Waiting for " + std::to_string(seconds) + " seconds\n";
}

inline std::string invalid_arguments(const std::string& name) {
    return "Invalid arguments for " + name + " method";
}

// The scripted daemon's side: the arguments of a call ("SIG DEV [EXTRA]"; "" without any), the
// call line, and the records of its answers.
inline std::string args(const std::string& name, const std::string& device = "",
                        const std::string& extra = "") {
    std::string sig = member(name).signature;
    if (sig.empty())
        return "";
    return sig + " " + device + (extra.empty() ? "" : " " + extra);
}

inline std::string call(const std::string& name, const std::string& device = "",
                        const std::string& extra = "") {
    std::string a = args(name, device, extra);
    return name + (a.empty() ? "" : " " + a);
}

inline std::string reply(const std::string& name, const std::string& value = "") {
    std::string answer = member(name).answer;
    return "reply " + name + (answer.empty() ? "" : " " + answer + " " + value);
}

// Every complaint that the agent can make on standard error, written exactly (several have no
// line end); after those of a failed request, the bus error's own text may follow on one line.
struct Complaint {
    const char* text;
    bool error_follows;
};

inline const Complaint complaints[] = {
    {"Not enough memory\n", false},
    {"Can't get on system bus", false},
    {"Can't add signal filter", false},
    {"Can't watch the daemon: ", true},
    {"Can't allocate new method call\n", false},
    {"Can't get default adapter\n", true},
    {"Can't get reply arguments\n", true},
    {"Not enough memory for adapter path\n", false},
    {"Can't register object path for agent\n", false},
    {"Can't register agent\n", true},
    {"Can't unregister agent\n", true},
    {"Not enough memory for message send\n", false},
    {"Can't create reply message\n", false},
    {released, false},
    {terminated, false},
};

// What of text is not a sequence of complaints; "" when all of it is.
inline std::string not_complaints(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const Complaint* found = nullptr;
        for (const auto& c : complaints)
            if (text.compare(at, strlen(c.text), c.text) == 0)
                found = &c;
        if (!found)
            return text.substr(at);
        at += strlen(found->text);
        bool next_is_complaint = false;
        for (const auto& c : complaints)
            next_is_complaint = next_is_complaint || text.compare(at, strlen(c.text), c.text) == 0;
        size_t end = text.find('\n', at);
        if (found->error_follows && !next_is_complaint && end != std::string::npos && end > at)
            at = end + 1;
    }
    return "";
}

inline std::string rejection(const std::string& name) {
    return "error " + name + " " + rejected_error + " \"\"";
}

} // namespace protocol
