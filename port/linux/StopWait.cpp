#include "port/StopWait.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace nork::port {

StopReason waitForEnterOrStopSignal() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    const int sfd = signalfd(-1, &stops, SFD_CLOEXEC);
    const bool terminal = isatty(STDIN_FILENO) == 1;

    StopReason reason = StopReason::Signal;
    for (;;) {
        pollfd fds[2] = {{sfd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int n = poll(fds, terminal ? 2 : 1, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || sfd < 0 || (fds[0].revents & POLLIN) != 0) {
            if (sfd >= 0 && (fds[0].revents & POLLIN) != 0) {
                signalfd_siginfo info{};
                (void)!read(sfd, &info, sizeof info);
            }
            break;
        }
        if (terminal && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            char c = 0;
            const ssize_t got = read(STDIN_FILENO, &c, 1);
            if (got <= 0 || c == '\n') {
                reason = StopReason::Enter;
                break;
            }
        }
    }
    if (sfd >= 0)
        close(sfd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return reason;
}

}  // namespace nork::port
