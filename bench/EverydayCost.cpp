// What everyday use costs, measured on the real program as a user starts it:
//   cost SECONDS: the headless mode on a 640 x 480 test source evaluating 10 times a second;
//     the share of one core it uses (user + system time over the wall time once it
//     evaluates) and its peak resident memory, for a still scene and a moving one;
//   startup N: N starts of the headless mode to its first evaluation, and N starts of the
//     windowed program to its control panel being mapped on the X display (run under
//     Xvfb), as medians and maxima.
// Every run has a settings folder of its own, so the user's settings are not touched.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string program;
std::string configFolder;

struct Child {
    pid_t pid = -1;
    int out = -1; // its standard output
};

Child spawn(const std::vector<std::string>& arguments)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], 1);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, 2);
        setenv("XDG_CONFIG_HOME", configFolder.c_str(), 1);
        unsetenv("CAPTURE_SOURCES");
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    return {pid, pipeEnds[0]};
}

void end(Child& child)
{
    kill(child.pid, SIGTERM);
    int status = 0;
    waitpid(child.pid, &status, 0);
    close(child.out);
}

// Waits until the child writes a whole line; false when it ends or `limit` passes.
bool waitForLine(const Child& child, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    char c;
    while (Clock::now() < deadline) {
        pollfd p{child.out, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            if (read(child.out, &c, 1) != 1)
                return false;
            if (c == '\n')
                return true;
        }
    }
    return false;
}

// Reads and drops what the child writes, for `duration`.
void drain(const Child& child, std::chrono::milliseconds duration)
{
    const auto deadline = Clock::now() + duration;
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd p{child.out, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && read(child.out, buffer, sizeof buffer) <= 0)
            return;
    }
}

double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            user = std::stoull(field);
        if (i == 15)
            system = std::stoull(field);
    }
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

long peakResidentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

std::string source(const char* pattern)
{
    return std::string("videotestsrc is-live=true pattern=") + pattern +
           " ! video/x-raw,width=640,height=480,framerate=10/1";
}

void cost(int seconds, const char* scene, const char* pattern)
{
    char folder[] = "/tmp/everyday-cost-XXXXXX";
    if (!mkdtemp(folder))
        std::exit(1);
    Child child = spawn({"--headless", "--source", source(pattern), "--period", "100", "--log-cycles", "--save-dir",
                         folder});
    if (!waitForLine(child, std::chrono::seconds(20))) {
        std::printf("%s: the headless mode did not evaluate\n", scene);
        end(child);
        return;
    }
    const double before = cpuSeconds(child.pid);
    const auto start = Clock::now();
    drain(child, std::chrono::seconds(seconds));
    const double used = cpuSeconds(child.pid) - before;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const long peak = peakResidentKiB(child.pid);
    end(child);
    std::printf("%-28s %5.1f %% of one core   peak resident %5.1f MB   (goal <= 25 %%, <= 80 MB)\n", scene,
                100.0 * used / wall, double(peak) / 1024.0);
    std::system((std::string("rm -rf ") + folder).c_str());
}

struct Figures {
    double median = 0;
    double maximum = 0;
};

Figures figures(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.back()};
}

double headlessStart()
{
    const auto start = Clock::now();
    Child child = spawn({"--headless", "--source", source("smpte"), "--period", "100", "--log-cycles"});
    const bool evaluated = waitForLine(child, std::chrono::seconds(20));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    end(child);
    return evaluated ? elapsed : -1;
}

bool isControlPanel(xcb_connection_t* x, xcb_window_t window)
{
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        x, xcb_get_property(x, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 64), nullptr);
    bool found = false;
    if (reply) {
        const int length = xcb_get_property_value_length(reply);
        found = std::string(static_cast<const char*>(xcb_get_property_value(reply)), std::size_t(length)) == "Video";
        std::free(reply);
    }
    return found;
}

// The time from starting the program to the X server mapping its control panel.
double windowStart(xcb_connection_t* x)
{
    const auto start = Clock::now();
    Child child = spawn({});
    double elapsed = -1;
    const auto deadline = start + std::chrono::seconds(20);
    while (elapsed < 0 && Clock::now() < deadline) {
        pollfd p{xcb_get_file_descriptor(x), POLLIN, 0};
        poll(&p, 1, 50);
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY && elapsed < 0) {
                const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                if (isControlPanel(x, map->window))
                    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            }
            std::free(event);
        }
    }
    end(child);
    return elapsed;
}

void startup(int runs)
{
    std::vector<double> headless;
    for (int i = 0; i < runs; ++i)
        headless.push_back(headlessStart());
    const Figures h = figures(headless);
    std::printf("start to first headless evaluation: median %.3f s, max %.3f s over %d starts (goal <= 0.5 s)\n",
                h.median, h.maximum, runs);

    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::printf("start to first window: no X display (run under xvfb-run)\n");
        return;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);
    std::vector<double> windows;
    for (int i = 0; i < runs; ++i)
        windows.push_back(windowStart(x));
    xcb_disconnect(x);
    const Figures w = figures(windows);
    std::printf("start to first window:              median %.3f s, max %.3f s over %d starts (goal <= 0.5 s)\n",
                w.median, w.maximum, runs);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PROGRAM cost SECONDS | PROGRAM startup RUNS\n", argv[0]);
        return 2;
    }
    program = argv[1];
    char folder[] = "/tmp/everyday-config-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    configFolder = folder;
    signal(SIGPIPE, SIG_IGN);
    const int count = std::atoi(argv[3]);
    if (std::strcmp(argv[2], "cost") == 0) {
        cost(count, "headless, still scene:", "smpte");
        cost(count, "headless, moving scene:", "ball");
    } else {
        startup(count);
    }
    std::system((std::string("rm -rf ") + folder).c_str());
    return 0;
}
