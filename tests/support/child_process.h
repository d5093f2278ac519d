// Runs code whose normal end is the process's end (exit(1) after a usage text,
// for example) in a forked child, and captures what it wrote to stdout; also
// captures stdout of code run in this process.
#ifndef ZV_TESTS_SUPPORT_CHILD_PROCESS_H
#define ZV_TESTS_SUPPORT_CHILD_PROCESS_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <sys/wait.h>

namespace zv_test {

struct ChildResult {
    bool exited = false;  // ended by exit(), not by a signal
    int exit_code = -1;   // kReturned when the code came back instead of ending the process
    std::string out;      // every byte written to stdout
};

// Exit code of a child whose code returned normally.
constexpr int kReturned = 77;

template <typename F>
ChildResult run_in_child(F &&fn) {
    std::fflush(stdout);
    std::fflush(stderr);
    ChildResult result;
    int fds[2];
    if (pipe(fds) != 0) {
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        fn();
        std::fflush(stdout);
        _exit(kReturned);
    }
    close(fds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        result.out.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.exited = true;
        result.exit_code = WEXITSTATUS(status);
    }
    return result;
}

// Everything fn writes to stdout in this process.
template <typename F>
std::string capture_stdout(F &&fn) {
    std::fflush(stdout);
    FILE *sink = std::tmpfile();
    if (!sink) {
        return "<no tmpfile>";
    }
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    std::rewind(sink);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0) {
        out.append(buffer, n);
    }
    std::fclose(sink);
    return out;
}

}  // namespace zv_test

#endif
