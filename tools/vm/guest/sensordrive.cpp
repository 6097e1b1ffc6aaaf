// Guest-side driver of a sensor module, steered line by line on stdin:
//   enable | disable   activate sensor 0 or not
//   spawn COMMAND      run sh -c COMMAND in a child, as a service starts a helper
//   quit (or end of input)   end the wait, close the device and exit
// Reports are printed as they come: "report rotation=DEG x=.. y=.. z=..".
#include <errno.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include <hardware/hw_loader.h>
#include <hardware/sensors.h>

namespace {

std::atomic<bool> stopping{false};

void on_wake(int) {}

int rotation_of(const sensors_event_t& ev) {
    if (fabsf(ev.acceleration.x) > fabsf(ev.acceleration.y))
        return ev.acceleration.x > 0 ? 90 : 270;
    return ev.acceleration.z >= 0 ? 0 : 180;
}

void* poller(void* arg) {
    auto* dev = static_cast<sensors_poll_device_t*>(arg);
    while (!stopping) {
        sensors_event_t ev;
        memset(&ev, 0, sizeof ev);
        int n = dev->poll(dev, &ev, 1);
        if (stopping)
            break;
        if (n == 1)
            printf("report rotation=%d x=%f y=%f z=%f\n", rotation_of(ev), ev.acceleration.x,
                   ev.acceleration.y, ev.acceleration.z);
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 2 || strcmp(argv[1], "-h") == 0) {
        fputs("Usage: sensordrive DIR   (DIR holds sensors.vardel.so; commands on stdin)\n",
              argc == 2 ? stdout : stderr);
        return argc == 2 ? 0 : 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_wake; // no SA_RESTART: it must end the module's poll()
    sigaction(SIGUSR1, &sa, nullptr);

    const hw_module_t* module = nullptr;
    char err[512];
    if (hw_load_module(argv[1], SENSORS_HARDWARE_MODULE_ID, "vardel", &module, err, sizeof err)) {
        fprintf(stderr, "sensordrive: %s\n", err);
        return 1;
    }
    hw_device_t* device = nullptr;
    if (module->methods->open(module, "poll", &device) != 0 || !device) {
        fprintf(stderr, "sensordrive: open failed\n");
        hw_unload_module(module);
        return 1;
    }
    auto* dev = reinterpret_cast<sensors_poll_device_t*>(device);
    printf("opened\n");
    pthread_t thread;
    if (pthread_create(&thread, nullptr, poller, dev) != 0) {
        fprintf(stderr, "sensordrive: no thread\n");
        return 1;
    }

    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strcmp(line, "enable") == 0 || strcmp(line, "disable") == 0) {
            dev->activate(dev, 0, line[0] == 'e');
            printf("%sd\n", line);
        } else if (strncmp(line, "spawn ", 6) == 0) {
            fflush(stdout);
            pid_t pid = fork();
            if (pid == 0) {
                execl("/bin/sh", "sh", "-c", line + 6, static_cast<char*>(nullptr));
                _exit(127);
            }
            printf("spawned %d\n", static_cast<int>(pid));
        } else if (strcmp(line, "quit") == 0) {
            break;
        } else if (line[0]) {
            printf("sensordrive: unknown command %s\n", line);
        }
    }

    // The signal may land just before the module enters poll(): repeat it.
    stopping = true;
    for (int i = 0; i < 100 && pthread_kill(thread, 0) == 0; ++i) {
        pthread_kill(thread, SIGUSR1);
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_nsec += 100 * 1000 * 1000;
        if (ts.tv_nsec >= 1000000000) {
            ts.tv_sec++;
            ts.tv_nsec -= 1000000000;
        }
        if (pthread_timedjoin_np(thread, nullptr, &ts) == 0) {
            device->close(device);
            hw_unload_module(module);
            printf("closed\n");
            return 0;
        }
    }
    fprintf(stderr, "sensordrive: the poll thread did not stop\n");
    return 1;
}
