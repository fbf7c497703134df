#pragma once

#include <QString>
#include <QTextStream>

namespace NVL::Engineering::VK::Bench {

class BenchServer;

// How every benchmark program prints: figures on standard output as they come, failures on standard
// error under the program's name.
QTextStream &out();
void say(const QString &text);
QString ms(double value); // one decimal
QString verdict(bool met);
// Prints the failure (and the tail of the server's log, when there is a server) and returns the exit
// status for it.
int fail(const QString &what, const BenchServer *server = nullptr);

} // namespace NVL::Engineering::VK::Bench
