#include "support/host_locale.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace zv_test {

namespace {

// Runs a program found on PATH with its output thrown away; its exit code,
// or -1 when it can't be started or doesn't exit.
int run_quietly(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace

HostLocale::HostLocale(const std::string &source, const std::string &charmap) : name_(source + "." + charmap) {
    const std::string output = dir_.path(name_);
    // localedef exits with 1 when it only warned and still wrote the locale.
    const int code = run_quietly({"localedef", "-i", source, "-f", charmap, output});
    std::error_code ignored;
    if (code == -1) {
        missing_ = "localedef could not be run (Debian package libc-bin): no " + name_ + " locale to test under";
    } else if (code > 1 || !std::filesystem::exists(output + "/LC_CTYPE", ignored)) {
        missing_ = "localedef could not build " + name_ + " (exit " + std::to_string(code) +
                   "): its sources /usr/share/i18n/locales/" + source + " and /usr/share/i18n/charmaps/" + charmap +
                   ".gz come with the Debian package locales";
    }
}

HostLocale::~HostLocale() { restore(); }

bool HostLocale::use() {
    if (!missing_.empty()) return false;
    if (!in_use_) {
        const char *old = std::getenv("LOCPATH");
        had_locpath_ = old != nullptr;
        old_locpath_ = old ? old : "";
        setenv("LOCPATH", dir_.root().c_str(), 1);
        in_use_ = true;
    }
    return std::setlocale(LC_ALL, name_.c_str()) != nullptr;
}

void HostLocale::restore() {
    if (!in_use_) return;
    std::setlocale(LC_ALL, "C");
    if (had_locpath_) {
        setenv("LOCPATH", old_locpath_.c_str(), 1);
    } else {
        unsetenv("LOCPATH");
    }
    in_use_ = false;
}

}  // namespace zv_test
