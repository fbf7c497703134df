#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// One run of a command-line program of this tree to its end: what it printed and its exit status
// (-1 when it did not end by itself in time or crashed).
struct ProgramRun
{
    int exitCode = -1;
    QString out;
    QString err;

    static ProgramRun of(const QString &program, const QStringList &arguments, const QByteArray &input = QByteArray(),
                         int timeoutMs = 60000);
};
