// A dbus-daemon of its own with a permissive policy, in a temporary folder, standing in for the
// system bus; its address comes from --print-address.
#pragma once

#include "process.h"

#include <string>
#include <vector>

class PrivateBus {
  public:
    PrivateBus() = default;
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    ~PrivateBus();

    // prefix names the folder under /tmp; limits are <limit> elements for the bus's config.
    bool start(const std::string& prefix = "agent-test", const std::string& limits = "");
    const std::string& address() const { return address_; }
    // The environment that puts a program on this bus as its system bus.
    std::vector<std::string> env() const { return {"DBUS_SYSTEM_BUS_ADDRESS=" + address_}; }
    void kill_now() { daemon_.kill_now(); }

  private:
    std::string dir_;
    std::string address_;
    testlib::Process daemon_;
};
