// wait_status FILE COMMAND [ARG...]
//
// Runs COMMAND with this process's standard input, output and error as they
// are, and writes to FILE how it ended, from its wait status itself:
// "exit N" or "signal SIGNAME" (a real-time signal as SIGRTMIN+N), a line.
// A shell cannot tell a program that called exit(134) from one killed by
// SIGABRT: both are its status 134. Then it ends as COMMAND did, with the
// same exit status or killed by the same signal, so that whatever runs it
// sees what it would have seen of COMMAND itself.
//
// FILE that cannot be written: a message, exit status 125, COMMAND not run.
// COMMAND that cannot be run: a message, 127 where there is no such file,
// else 126, as a shell says it (FILE is then left empty).
//
// It is built for the CPU the programs are built for, and installed and sent
// with them, so it takes nothing but the C library.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct SignalName {
    int number;
    const char *name;
};

// The signals of this CPU's Linux, by the names a shell has for them (their
// numbers differ between CPUs: this is compiled for the programs' own).
const SignalName signal_names[] = {
    {SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"}, {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
    {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"}, {SIGFPE, "SIGFPE"},
    {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
    {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"}, {SIGCHLD, "SIGCHLD"},
    {SIGCONT, "SIGCONT"}, {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"}, {SIGTTIN, "SIGTTIN"},
    {SIGTTOU, "SIGTTOU"}, {SIGURG, "SIGURG"}, {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"},
    {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGWINCH, "SIGWINCH"}, {SIGSYS, "SIGSYS"},
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
#ifdef SIGIO
    {SIGIO, "SIGIO"},
#endif
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
#ifdef SIGEMT
    {SIGEMT, "SIGEMT"},
#endif
};

void write_signal_name(FILE *out, int number)
{
    for (const SignalName &known : signal_names) {
        if (known.number == number) {
            std::fprintf(out, "signal %s\n", known.name);
            return;
        }
    }
#ifdef SIGRTMIN
    if (number >= SIGRTMIN && number <= SIGRTMAX) {
        std::fprintf(out, "signal SIGRTMIN+%d\n", number - SIGRTMIN);
        return;
    }
#endif
    std::fprintf(out, "signal %d\n", number);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: wait_status FILE COMMAND [ARG...]\n");
        return 125;
    }
    // Closed on exec: the command's descriptors stay as they were given here
    // (one of its standard streams may be closed, and the file then takes
    // its number in this process only).
    int file = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file < 0) {
        std::fprintf(stderr, "wait_status: cannot write %s: %s\n", argv[1], std::strerror(errno));
        return 125;
    }
    // Ctrl-C and Ctrl-\ reach the command too: this waits to report what
    // they did to it, as a shell does.
    struct sigaction ignore {}, old_int {}, old_quit {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "wait_status: cannot fork: %s\n", std::strerror(errno));
        return 126;
    }
    if (child == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        execvp(argv[2], argv + 2);
        int error = errno;
        std::fprintf(stderr, "wait_status: cannot run %s: %s\n", argv[2], std::strerror(error));
        _exit(error == ENOENT ? 127 : 126);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "wait_status: cannot wait for %s: %s\n", argv[2], std::strerror(errno));
            return 126;
        }
    }
    FILE *out = fdopen(file, "w");
    if (out == nullptr)
        return 125;
    if (WIFSIGNALED(status))
        write_signal_name(out, WTERMSIG(status));
    else
        std::fprintf(out, "exit %d\n", WEXITSTATUS(status));
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "wait_status: cannot write %s\n", argv[1]);
        return 125;
    }
    if (WIFSIGNALED(status)) {
        // The same signal ends this process; the command left its own core
        // file, where that was allowed, so this one leaves none.
        int number = WTERMSIG(status);
        struct rlimit no_core {};
        setrlimit(RLIMIT_CORE, &no_core);
        struct sigaction by_default {};
        by_default.sa_handler = SIG_DFL;
        sigaction(number, &by_default, nullptr);
        sigset_t just_it;
        sigemptyset(&just_it);
        sigaddset(&just_it, number);
        sigprocmask(SIG_UNBLOCK, &just_it, nullptr);
        raise(number);
        return 128 + number;
    }
    return WEXITSTATUS(status);
}
