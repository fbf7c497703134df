#include "StopSignalPipe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace NVL::Engineering::VK {

namespace {

// The handler can reach nothing but globals; volatile sig_atomic_t would not hold a descriptor pair.
int pipeFds[2] = {-1, -1};
struct sigaction previousTerm;
struct sigaction previousInt;

void writeByte(unsigned char byte)
{
    // A full pipe already holds a pending request, so a lost byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
}

void handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    writeByte(static_cast<unsigned char>(signalNumber));
    errno = savedErrno;
}

} // namespace

StopSignalPipe::StopSignalPipe()
{
    if (pipeFds[0] >= 0 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = &handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &previousTerm);
    sigaction(SIGINT, &action, &previousInt);
    m_valid = true;
}

StopSignalPipe::~StopSignalPipe()
{
    if (!m_valid)
        return;
    sigaction(SIGTERM, &previousTerm, nullptr);
    sigaction(SIGINT, &previousInt, nullptr);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

int StopSignalPipe::wait()
{
    if (!m_valid)
        return 0;
    for (;;) {
        unsigned char byte = 0;
        const ssize_t count = ::read(pipeFds[0], &byte, 1);
        if (count == 1)
            return byte;
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return 0;
        pollfd readable = {pipeFds[0], POLLIN, 0};
        ::poll(&readable, 1, -1);
    }
}

int StopSignalPipe::descriptor() const
{
    return m_valid ? pipeFds[0] : -1;
}

void StopSignalPipe::wake()
{
    if (m_valid)
        writeByte(0);
}

} // namespace NVL::Engineering::VK
