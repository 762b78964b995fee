// Running a piece of a test as an unprivileged user.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

// Runs body in a forked child, as the unprivileged user "nobody" when the
// tests run as root; returns the child's exit status (99: could not drop,
// 98: the child did not exit).
inline int as_user_in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}
