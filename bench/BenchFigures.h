// What the benchmarks that compare contenders side by side share: CPU time over all threads
// of this process (and per thread, by thread name), CPU time of another process, medians of
// rounds, a second process that keeps one core busy, and the table they print.
//
// Threads: any; the spinner is a child process.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sched.h>
#include <spawn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace bench {

inline double wallSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// User and system time of every thread of this process, those ended included.
inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system time of a process or thread from its stat file, in seconds (-1 when it
// cannot be read); the name is the part in parentheses.
inline double statCpuSeconds(const std::string& statPath, std::string* name = nullptr)
{
    std::ifstream file(statPath);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos)
        return -1;
    if (name)
        *name = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoll(field);
        else if (i == 15)
            stime = std::stoll(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// CPU seconds of this process's living threads, summed per thread name.
inline std::map<std::string, double> cpuSecondsByThreadName()
{
    std::map<std::string, double> byName;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return byName;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string name;
        const double seconds = statCpuSeconds(std::string("/proc/self/task/") + entry->d_name + "/stat", &name);
        if (seconds >= 0)
            byName[name] += seconds;
    }
    closedir(tasks);
    return byName;
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A second process spinning on the last core for as long as this object lives: a shell's
// empty loop, started without copying this process (a forked copy would make this process
// pay for copying every page it writes to while the copy lives).
class BusyCore {
public:
    BusyCore()
    {
        char sh[] = "sh", c[] = "-c", loop[] = "while :; do :; done";
        char* arguments[] = {sh, c, loop, nullptr};
        if (posix_spawnp(&_child, "sh", nullptr, nullptr, arguments, environ) != 0) {
            _child = -1;
            return;
        }
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(int(std::max(0L, sysconf(_SC_NPROCESSORS_ONLN) - 1)), &cpus);
        sched_setaffinity(_child, sizeof cpus, &cpus);
        usleep(100000); // spinning before the measurement begins
    }
    ~BusyCore()
    {
        if (_child > 0) {
            kill(_child, SIGKILL);
            waitpid(_child, nullptr, 0);
        }
    }
    BusyCore(const BusyCore&) = delete;
    BusyCore& operator=(const BusyCore&) = delete;

private:
    pid_t _child = -1;
};

// The machine's load averages, as uptime prints them.
inline std::string loadAverages()
{
    std::ifstream file("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    file >> one >> five >> fifteen;
    char text[64];
    std::snprintf(text, sizeof text, "%.2f, %.2f, %.2f", one, five, fifteen);
    return text;
}

} // namespace bench
