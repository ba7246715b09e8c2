// Runs two commands alternately, N times each, and reports the median wall
// time and the largest peak resident memory of each, and their ratios.
//   process-bench N baseline-command... -- measured-command...
// A command may also tell when its window was shown: the child finds its
// start in UOO_PROBE_T0 (steady-clock nanoseconds) and writes the
// milliseconds from there to the shown window as "shown <ms>" on its
// standard output, so that start-up is told apart from the exit.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Sample {
    double seconds;
    long maxRssKiB;
    double shownMs; // below 0: not told
};

Sample runOnce(char** argv) {
    int out[2];
    if (::pipe(out) != 0)
        std::exit(1);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const auto t0 =
            std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
        ::setenv("UOO_PROBE_T0", std::to_string(t0).c_str(), 1);
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execvp(argv[0], argv);
        std::perror(argv[0]);
        ::_exit(127);
    }
    ::close(out[1]);
    std::string said;
    char buffer[256];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
    double shown = -1;
    if (const auto at = said.find("shown "); at != std::string::npos)
        shown = std::atof(said.c_str() + at + 6);
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss, shown};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s N baseline... -- measured...\n", argv[0]);
        return 2;
    }
    const int n = std::atoi(argv[1]);
    int split = 2;
    while (split < argc && std::strcmp(argv[split], "--") != 0)
        ++split;
    if (split >= argc - 1)
        return 2;
    argv[split] = nullptr;
    char** baseline = argv + 2;
    char** measured = argv + split + 1;

    runOnce(baseline); // warm the caches for both
    runOnce(measured);
    std::vector<double> tb, tm, sb, sm;
    long rb = 0, rm = 0;
    for (int i = 0; i < n; ++i) {
        const Sample b = runOnce(baseline);
        const Sample m = runOnce(measured);
        tb.push_back(b.seconds);
        tm.push_back(m.seconds);
        sb.push_back(b.shownMs);
        sm.push_back(m.shownMs);
        rb = std::max(rb, b.maxRssKiB);
        rm = std::max(rm, m.maxRssKiB);
    }
    const double mb = median(tb), mm = median(tm);
    std::printf("baseline: median %.1f ms, peak RSS %.1f MiB\n", mb * 1e3, rb / 1024.0);
    std::printf("measured: median %.1f ms, peak RSS %.1f MiB\n", mm * 1e3, rm / 1024.0);
    std::printf("time ratio %.2fx, memory difference %+.1f MiB\n", mm / mb, (rm - rb) / 1024.0);
    if (median(sb) > 0 && median(sm) > 0)
        std::printf("to the shown window: median %.1f ms against %.1f ms, ratio %.2fx\n",
                    median(sm), median(sb), median(sm) / median(sb));
    return 0;
}
