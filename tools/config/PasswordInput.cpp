#include "PasswordInput.h"

#include <QFile>

#include <cstdio>
#include <string>

#ifdef Q_OS_UNIX
#include <termios.h>
#include <unistd.h>
#endif

namespace NVL::Engineering::VK::PasswordInput {

namespace {

QString withoutFinalLineBreak(QByteArray bytes)
{
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    return QString::fromUtf8(bytes);
}

} // namespace

std::optional<QString> fromStandardInput()
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return std::nullopt;
    return withoutFinalLineBreak(input.readAll());
}

std::optional<QString> fromPrompt(const QString &prompt)
{
#ifdef Q_OS_UNIX
    if (!::isatty(STDIN_FILENO))
        return std::nullopt;
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    termios saved;
    const bool silenced = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (silenced) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    for (int c = std::fgetc(stdin); c != EOF && c != '\n'; c = std::fgetc(stdin))
        line.push_back(char(c));
    if (silenced)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    return withoutFinalLineBreak(QByteArray::fromStdString(line));
#else
    Q_UNUSED(prompt);
    return std::nullopt; // Windows: --password-stdin
#endif
}

} // namespace NVL::Engineering::VK::PasswordInput
