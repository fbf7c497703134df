#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// Section [store] of vk.cfg: where the batteries are kept. SQLite (vk.db beside vk.cfg) unless
// driver=postgresql, where several servers share one database.
struct StoreSettings
{
    enum class Driver { Sqlite, Postgresql };

    Driver driver = Driver::Sqlite;
    QString host = QStringLiteral("localhost");
    quint16 port = 5432;
    QString database = QStringLiteral("voltkeep");
    QString user = QStringLiteral("voltkeep");
    QString passwordFile; // absolute; empty: no password (peer or trust authentication)
    QString sslmode = QStringLiteral("prefer");
    QString site;                   // what the reports stored here are marked with; the host name by default
    int pollMs = 2000;              // how often the rows other servers changed are fetched
    int plannerRetrySeconds = 30;   // how often a server without the planner tries to take it
    int leaseSeconds = 15;          // how long the planner's hold lasts unless renewed (every third of it)
    int spoolLimit = 1000000;       // reports kept locally while the database cannot be reached
    QString error;                  // not empty: the section cannot be used, and why
};

} // namespace NVL::Engineering::VK
