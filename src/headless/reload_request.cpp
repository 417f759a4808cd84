#include "headless/reload_request.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/error_reason.h"

namespace {

// Tells a waiting caller's SIGHUP from anybody else's: a plain kill sends no value.
constexpr int kReloadToken = 0x5452454c;

constexpr int kAnswerSignal = SIGUSR1;

} // namespace

int RequestReload(pid_t relay) {
    // The answer is taken by sigtimedwait: blocked, it can neither kill this process nor be lost
    // between the request and the wait.
    sigset_t answer;
    sigemptyset(&answer);
    sigaddset(&answer, kAnswerSignal);
    sigprocmask(SIG_BLOCK, &answer, nullptr);
    if (relay <= 0 || ::sigqueue(relay, SIGHUP, sigval{.sival_int = kReloadToken}) != 0) {
        const int error = relay <= 0 ? ESRCH : errno;
        std::fprintf(stderr, "无法请求进程 %d 重新加载: %s\n", static_cast<int>(relay),
                     ErrorReasonText(error).c_str());
        return kReloadUnanswered;
    }
    const auto deadline = std::chrono::steady_clock::now() + kReloadAnswerBound;
    for (;;) {
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::max(deadline - std::chrono::steady_clock::now(),
                     std::chrono::steady_clock::duration::zero()));
        const timespec left{static_cast<time_t>(nanoseconds.count() / 1'000'000'000),
                            static_cast<long>(nanoseconds.count() % 1'000'000'000)};
        siginfo_t info{};
        const int got = ::sigtimedwait(&answer, &info, &left);
        if (got == kAnswerSignal && info.si_pid == relay && info.si_code == SI_QUEUE) {
            if (info.si_value.sival_int == 0) {
                return kReloadDone;
            }
            std::fprintf(stderr, "重新加载失败, 转发继续按原设置运行; 原因见转发的日志\n");
            return kReloadRefused;
        }
        if (got < 0 && errno != EINTR) {
            std::fprintf(stderr, "进程 %d 在 %lld 秒内没有回应重新加载\n", static_cast<int>(relay),
                         static_cast<long long>(kReloadAnswerBound.count()));
            return kReloadUnanswered;
        }
    }
}

bool WaitsForAnswer(const signalfd_siginfo& signal) {
    return signal.ssi_signo == SIGHUP && signal.ssi_code == SI_QUEUE &&
           signal.ssi_int == kReloadToken && signal.ssi_pid != 0;
}

void AnswerReload(const signalfd_siginfo& signal, bool done) {
    if (WaitsForAnswer(signal)) {
        ::sigqueue(static_cast<pid_t>(signal.ssi_pid), kAnswerSignal,
                   sigval{.sival_int = done ? 0 : 1});
    }
}
