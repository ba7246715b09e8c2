// Runs two commands alternately, N times each, and reports the median wall
// time and the largest peak resident memory of each, and their ratios.
//   process-bench N baseline-command... -- measured-command...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Sample {
    double seconds;
    long maxRssKiB;
};

Sample runOnce(char** argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv);
        std::perror(argv[0]);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss};
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
    std::vector<double> tb, tm;
    long rb = 0, rm = 0;
    for (int i = 0; i < n; ++i) {
        const Sample b = runOnce(baseline);
        const Sample m = runOnce(measured);
        tb.push_back(b.seconds);
        tm.push_back(m.seconds);
        rb = std::max(rb, b.maxRssKiB);
        rm = std::max(rm, m.maxRssKiB);
    }
    const double mb = median(tb), mm = median(tm);
    std::printf("baseline: median %.1f ms, peak RSS %.1f MiB\n", mb * 1e3, rb / 1024.0);
    std::printf("measured: median %.1f ms, peak RSS %.1f MiB\n", mm * 1e3, rm / 1024.0);
    std::printf("time ratio %.2fx, memory difference %+.1f MiB\n", mm / mb, (rm - rb) / 1024.0);
    return 0;
}
