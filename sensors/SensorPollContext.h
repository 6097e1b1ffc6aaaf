// The poll device: keyboard arrow keys as an orientation sensor, the
// keyboard's other keys passed on through a virtual input device.
#ifndef SENSORS_SENSOR_POLL_CONTEXT_H
#define SENSORS_SENSOR_POLL_CONTEXT_H

#include <linux/input.h>
#include <poll.h>
#include <stdint.h>

#include <atomic>

#include <hardware/hardware.h>
#include <hardware/sensors.h>

// Inner layer: the device header the platform sees, and the uinput descriptor.
// Built first and torn down last, so the virtual device outlives the keyboard.
struct SensorFd : public sensors_poll_device_t {
    int ufd;

    SensorFd(const hw_module_t* module, hw_device_t** device);
    ~SensorFd();
    SensorFd(const SensorFd&) = delete;
    SensorFd& operator=(const SensorFd&) = delete;
};

class SensorPollContext : public SensorFd {
  public:
    SensorPollContext(const hw_module_t* module, hw_device_t** device);
    ~SensorPollContext();

    static int poll_close(hw_device_t* dev);
    static int poll_activate(sensors_poll_device_t* dev, int handle, int enabled);
    static int poll_setDelay(sensors_poll_device_t* dev, int handle, int64_t ns);
    static int poll_poll(sensors_poll_device_t* dev, sensors_event_t* data, int count);

    // Read by poll_poll on one thread, written by poll_activate on another.
    std::atomic<bool> enabled;
    int rotation;
    struct pollfd pfd;
    sensors_event_t orientations[4];

    // Keys pressed on the virtual device and not released there yet, one bit a
    // key code, laid out as EVIOCGKEY hands out the keyboard's key state.
    static const int kKeyWords = KEY_CNT / (8 * sizeof(unsigned long));
    unsigned long held[kKeyWords];
    // The kernel dropped keyboard events (SYN_DROPPED): the rest of the broken
    // packet, up to and including its SYN_REPORT, is skipped.
    bool dropping;
    // After a drop: the virtual device is made to agree with the keyboard's key
    // state once nothing is queued (reading the state flushes queued key events).
    bool resyncing;
    // Watch on /dev/input (inotify) while there is no keyboard: a new event
    // device wakes the wait, which then looks for the keyboard again. -1 while
    // a keyboard is in use or the watch cannot be had.
    int wfd;
    // The watch gave way to a scan short of descriptors (EMFILE): it is set
    // again before the next wait, once the listing is closed.
    bool rewatch;

  private:
    void watchInput();
    void unwatchInput();
    void lookForKeyboard(bool again);
    bool inputChanged();
    bool yieldWatch();
    void findKeyboard();
    void createVirtualDevice();
    void prepareOrientations();
    int report(sensors_event_t* data);
    void dropKeyboard();
    int nextEvent(struct input_event* ev);
    bool skipDropped(const struct input_event& ev);
    void setRotation(int next);
    void forward(const struct input_event& ev);
    bool resync();
    int syncKeys(const unsigned long* down, int* pressed);
};

#endif // SENSORS_SENSOR_POLL_CONTEXT_H
