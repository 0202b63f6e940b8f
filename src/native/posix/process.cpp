#include "native/new_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <iterator>
#include <vector>

namespace {

// Every signal that ends the process from outside, beside the real-time
// ones; a crash's signals are left alone.
constexpr int interrupts[] = {
    SIGHUP,
    SIGINT,
    SIGQUIT,
    SIGTERM,
    SIGALRM,
    SIGUSR1,
    SIGUSR2,
    SIGXCPU,
    SIGVTALRM,
    SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
constexpr int shell_signal_status = 128;

// What the handler blocks while it runs, and hold_interrupts blocks; and
// the mask that release_interrupts gives back.
sigset_t interrupt_set;
sigset_t before_hold;

void remove_and_end(int signal_number)
{
    remove_output_in_flight();
    // The action is the default again: once unblocked, the signal ends the
    // process with a core dump where it makes one, and a shell sees which
    // it was. The first process of a PID namespace ignores it even so, and
    // ends as a shell reports a signal.
    std::raise(signal_number);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    _exit(shell_signal_status + signal_number);
}

// Every signal that ends the process from outside removes the new file
// first, unless it was ignored at start, under nohup or in a background
// job, and a full pipe or disk fails a write instead of ending the process.
void prepare_process()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<int> signals(std::begin(interrupts), std::end(interrupts));
#ifdef SIGRTMIN
    // The C library keeps the few below SIGRTMIN for its threads, and lets
    // no program catch or block them.
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        signals.push_back(signal_number);
    }
#endif
    sigemptyset(&interrupt_set);
    for (const int signal_number : signals) {
        sigaddset(&interrupt_set, signal_number);
    }
    struct sigaction action = {};
    action.sa_handler = remove_and_end;
    action.sa_mask = interrupt_set;
    action.sa_flags = SA_RESETHAND;
    for (const int signal_number : signals) {
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

} // namespace

void hold_interrupts()
{
    sigprocmask(SIG_BLOCK, &interrupt_set, &before_hold);
}

void release_interrupts()
{
    sigprocmask(SIG_SETMASK, &before_hold, nullptr);
}

// Some platforms open a directory for reading and fail only on its first
// read, so the open file is asked what it is.
input open_input(const std::string& path)
{
    prepare_process();
    input in;
    const int descriptor = open(path.c_str(), O_RDONLY | O_NOCTTY);
    if (descriptor == -1) {
        return in;
    }
    if (fstat(descriptor, &in.facts) != 0 || S_ISDIR(in.facts.st_mode)) {
        close(descriptor);
        return in;
    }
    in.stream = stream_on(descriptor, "rb");
    return in;
}

std::string narrow_key(const char* text)
{
    return text;
}
