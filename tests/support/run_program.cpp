// Child-process runner for end-to-end tests: fork, redirect, exec, collect, wait.
#include "support/run_program.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void close_fd(int &fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

[[noreturn]] void child_exec(const std::string &program, const std::vector<std::string> &args,
                             const run_options &options, int out_fd, int err_fd) {
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) {
        ::dup2(devnull, STDIN_FILENO);
    }
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
        ::_exit(126);
    }
    if (options.file_size_limit >= 0) {
        // A write past the limit then fails with EFBIG instead of killing the child.
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {};
        lim.rlim_cur = static_cast<rlim_t>(options.file_size_limit);
        lim.rlim_max = static_cast<rlim_t>(options.file_size_limit);
        ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

} // namespace

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const run_options &options) {
    run_result result;
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        close_fd(out_pipe[0]);
        close_fd(out_pipe[1]);
        return result;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        for (int *fd : {&out_pipe[0], &out_pipe[1], &err_pipe[0], &err_pipe[1]}) {
            close_fd(*fd);
        }
        return result;
    }
    if (pid == 0) {
        child_exec(program, args, options, out_pipe[1], err_pipe[1]);
    }
    result.started = true;
    close_fd(out_pipe[1]);
    close_fd(err_pipe[1]);

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    char buf[4096];
    while (out_pipe[0] >= 0 || err_pipe[0] >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        int n = ::poll(fds, 2, static_cast<int>(left));
        if (n < 0 && errno != EINTR) {
            break;
        }
        int *ends[2] = {&out_pipe[0], &err_pipe[0]};
        std::string *sinks[2] = {&result.out, &result.err};
        for (int i = 0; i < 2; ++i) {
            if (*ends[i] < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t got = ::read(*ends[i], buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close_fd(*ends[i]);
            }
        }
    }
    close_fd(out_pipe[0]);
    close_fd(err_pipe[0]);
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (!result.timed_out && WIFEXITED(wstatus)) {
        result.exited = true;
        result.status = WEXITSTATUS(wstatus);
    }
    return result;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::vector<std::string> strip_log_headers(const std::string &text) {
    static const std::regex header(
        R"(^\d\d-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d -?\d+ -?\d+ ([VDIWESF]) [^ ]* )");
    std::vector<std::string> lines;
    for (const std::string &line : split_lines(text)) {
        std::smatch m;
        if (std::regex_search(line, m, header)) {
            lines.push_back(m[1].str() + " " + m.suffix().str());
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}
