// The folder of a private bus daemon: its permissive configuration and its socket.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

// Makes a fresh folder named after prefix with bus.conf in it; the folder, or "" on failure.
inline std::string make_bus_dir(const std::string& prefix) {
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
            "  <policy context=\"default\">\n"
            "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
            "    <allow eavesdrop=\"true\"/>\n"
            "    <allow own=\"*\"/>\n"
            "  </policy>\n"
            "</busconfig>\n";
    conf.close();
    if (!conf) {
        unlink((tmpl + "/bus.conf").c_str());
        rmdir(tmpl.c_str());
        return "";
    }
    return tmpl;
}

inline void remove_bus_dir(const std::string& dir) {
    if (dir.empty())
        return;
    unlink((dir + "/bus.conf").c_str());
    unlink((dir + "/bus").c_str());
    rmdir(dir.c_str());
}
