#include "private_bus.h"

#include <fstream>
#include <unistd.h>

namespace {

void remove_bus_dir(const std::string& dir) {
    if (dir.empty())
        return;
    unlink((dir + "/bus.conf").c_str());
    unlink((dir + "/bus").c_str());
    rmdir(dir.c_str());
}

// Makes a fresh folder named after prefix with bus.conf in it; the folder, or "" on failure.
std::string make_bus_dir(const std::string& prefix, const std::string& limits) {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(&tmpl[0]))
        return "";
    std::ofstream conf(tmpl + "/bus.conf");
    conf << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <listen>unix:path="
         << tmpl
         << "/bus</listen>\n"
            "  <auth>EXTERNAL</auth>\n"
         << limits
         << "  <policy context=\"default\">\n"
            "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
            "    <allow eavesdrop=\"true\"/>\n"
            "    <allow own=\"*\"/>\n"
            "  </policy>\n"
            "</busconfig>\n";
    conf.close();
    if (!conf) {
        remove_bus_dir(tmpl);
        return "";
    }
    return tmpl;
}

} // namespace

PrivateBus::~PrivateBus() {
    daemon_.kill_now();
    remove_bus_dir(dir_);
}

bool PrivateBus::start(const std::string& prefix, const std::string& limits) {
    dir_ = make_bus_dir(prefix, limits);
    if (dir_.empty())
        return false;
    if (!daemon_.start(
            testlib::Program::Host, "/usr/bin/dbus-daemon",
            {"dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--print-address=1", "--nofork"},
            {"DBUS_SYSTEM_BUS_ADDRESS"}))
        return false;
    // The address line comes once the bus listens.
    std::string line;
    if (!daemon_.wait_line("", 10000, &line) || line.empty())
        return false;
    address_ = line;
    return true;
}
