// A stand-in for systemd's manager on a private bus, for the tests of the systemd service binding.
//
// Usage: vk_fake_systemd <root>
// Connects to the bus of DBUS_SYSTEM_BUS_ADDRESS, owns org.freedesktop.systemd1 and answers the
// manager and unit calls that the program makes, with unit files under <root>/etc/systemd/system.
// Every call is recorded; the tests read the record and steer the state through the extra interface
// org.norvale.test.FakeSystemd. Prints "ready" once the name is owned.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTimer>

#include <cstdio>

namespace {

const QString managerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString managerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString unitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString controlInterface = QStringLiteral("org.norvale.test.FakeSystemd");
const QString unitPathPrefix = QStringLiteral("/org/freedesktop/systemd1/unit/");

struct Change
{
    QString type;
    QString file;
    QString destination;
};

QDBusArgument &operator<<(QDBusArgument &argument, const Change &change)
{
    argument.beginStructure();
    argument << change.type << change.file << change.destination;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Change &change)
{
    argument.beginStructure();
    argument >> change.type >> change.file >> change.destination;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(Change)
Q_DECLARE_METATYPE(QList<Change>)

namespace {

// systemd's escaping of unit names in object paths.
QString escapePathElement(const QString &name)
{
    QString out;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9'))
            out += c;
        else
            out += QStringLiteral("_%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

class FakeManager final : public QDBusVirtualObject
{
public:
    explicit FakeManager(const QString &root)
        : m_root(QDir(root).absolutePath())
    {
        QDir().mkpath(unitFolder());
        QDir().mkpath(wantsFolder());
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString interface = message.interface();
        const QString member = message.member();
        const QVariantList args = message.arguments();
        if (interface == controlInterface)
            return answer(connection, message, control(member, args));
        record(message);

        const auto refusal = m_refusals.find(member);
        if (refusal != m_refusals.end()) {
            const QDBusMessage error = message.createErrorReply(refusal->first, refusal->second);
            m_refusals.erase(refusal);
            return connection.send(error);
        }

        if (interface == propertiesInterface && member == QLatin1String("Get"))
            return answer(connection, message, property(message.path(), args.value(0).toString(), args.value(1).toString()));
        if (interface != managerInterface || message.path() != managerPath)
            return answer(connection, message, unknown(message));

        const QString unit = args.value(0).toString();
        if (member == QLatin1String("GetUnitFileState")) {
            if (!QFile::exists(unitFile(unit)))
                return answer(connection, message, error(QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"),
                                                         QStringLiteral("No such file or directory")));
            return answer(connection, message, {QFileInfo(wantsLink(unit)).isSymLink() ? QStringLiteral("enabled")
                                                                                      : QStringLiteral("disabled")});
        }
        if (member == QLatin1String("EnableUnitFiles")) {
            QList<Change> changes;
            for (const QString &name : args.value(0).toStringList()) {
                if (!QFile::exists(unitFile(name)))
                    return answer(connection, message, error(QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"),
                                                             QStringLiteral("Unit file %1 does not exist.").arg(name)));
                QFile::link(QStringLiteral("../") + name, wantsLink(name));
                changes.append({QStringLiteral("symlink"), wantsLink(name), unitFile(name)});
            }
            return answer(connection, message, {true, QVariant::fromValue(changes)});
        }
        if (member == QLatin1String("DisableUnitFiles")) {
            QList<Change> changes;
            for (const QString &name : args.value(0).toStringList()) {
                if (QFile::remove(wantsLink(name)))
                    changes.append({QStringLiteral("unlink"), wantsLink(name), QString()});
            }
            return answer(connection, message, {QVariant::fromValue(changes)});
        }
        if (member == QLatin1String("Reload")) {
            for (auto it = m_units.begin(); it != m_units.end();) {
                if (!QFile::exists(unitFile(it.key())) && isStopped(it.value()))
                    it = m_units.erase(it);
                else
                    ++it;
            }
            return answer(connection, message, {});
        }
        if (member == QLatin1String("GetUnit")) {
            if (!m_units.contains(unit))
                return answer(connection, message, notLoaded(unit));
            return answer(connection, message, {QVariant::fromValue(QDBusObjectPath(unitObjectPath(unit)))});
        }
        if (member == QLatin1String("StartUnit")) {
            if (!QFile::exists(unitFile(unit)))
                return answer(connection, message, error(QStringLiteral("org.freedesktop.systemd1.NoSuchUnit"),
                                                         QStringLiteral("Unit %1 not found.").arg(unit)));
            m_units[unit] = QStringLiteral("active");
            return answer(connection, message, {QVariant::fromValue(nextJob())});
        }
        if (member == QLatin1String("StopUnit")) {
            if (!m_units.contains(unit))
                return answer(connection, message, notLoaded(unit));
            if (!isStopped(m_units[unit])) {
                m_units[unit] = QStringLiteral("deactivating");
                if (m_stopDelayMs >= 0)
                    QTimer::singleShot(m_stopDelayMs, [this, unit] { m_units[unit] = QStringLiteral("inactive"); });
            }
            return answer(connection, message, {QVariant::fromValue(nextJob())});
        }
        return answer(connection, message, unknown(message));
    }

private:
    // A reply's arguments, or an error when the first one is an error message.
    using Answer = QVariantList;

    QString unitFolder() const { return m_root + QStringLiteral("/etc/systemd/system"); }
    QString wantsFolder() const { return unitFolder() + QStringLiteral("/multi-user.target.wants"); }
    QString unitFile(const QString &unit) const { return unitFolder() + QLatin1Char('/') + unit; }
    QString wantsLink(const QString &unit) const { return wantsFolder() + QLatin1Char('/') + unit; }
    static QString unitObjectPath(const QString &unit) { return unitPathPrefix + escapePathElement(unit); }

    static bool isStopped(const QString &state)
    {
        return state == QLatin1String("inactive") || state == QLatin1String("failed");
    }

    QDBusObjectPath nextJob() { return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/%1").arg(++m_jobs)); }

    Answer error(const QString &name, const QString &text)
    {
        m_pendingError = {name, text};
        return {};
    }
    Answer notLoaded(const QString &unit)
    {
        return error(QStringLiteral("org.freedesktop.systemd1.NoSuchUnit"), QStringLiteral("Unit %1 not loaded.").arg(unit));
    }
    Answer unknown(const QDBusMessage &message)
    {
        return error(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                     QStringLiteral("Unknown method %1.%2").arg(message.interface(), message.member()));
    }

    bool answer(const QDBusConnection &connection, const QDBusMessage &message, const Answer &arguments)
    {
        if (!m_pendingError.first.isEmpty()) {
            const auto error = std::exchange(m_pendingError, {});
            return connection.send(message.createErrorReply(error.first, error.second));
        }
        return connection.send(message.createReply(arguments));
    }

    Answer property(const QString &path, const QString &interface, const QString &name)
    {
        if (path == managerPath && interface == managerInterface && name == QLatin1String("UnitPath")) {
            // Like systemd's list: the administrators' folder is neither first nor last.
            const QStringList folders{m_root + QStringLiteral("/etc/systemd/system.control"),
                                      m_root + QStringLiteral("/run/systemd/transient"), unitFolder(),
                                      m_root + QStringLiteral("/run/systemd/system"),
                                      m_root + QStringLiteral("/usr/lib/systemd/system")};
            return {QVariant::fromValue(QDBusVariant(folders))};
        }
        if (path.startsWith(unitPathPrefix) && interface == unitInterface && name == QLatin1String("ActiveState")) {
            for (auto it = m_units.cbegin(); it != m_units.cend(); ++it)
                if (unitObjectPath(it.key()) == path)
                    return {QVariant::fromValue(QDBusVariant(it.value()))};
            return error(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"), QStringLiteral("Unknown object ") + path);
        }
        return error(QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"), QStringLiteral("Unknown property ") + name);
    }

    Answer control(const QString &member, const QVariantList &args)
    {
        if (member == QLatin1String("Calls"))
            return {m_calls};
        if (member == QLatin1String("ClearCalls")) {
            m_calls.clear();
            return {};
        }
        if (member == QLatin1String("SetActiveState")) {
            m_units[args.value(0).toString()] = args.value(1).toString();
            return {};
        }
        if (member == QLatin1String("ActiveState"))
            return {m_units.value(args.value(0).toString())};
        if (member == QLatin1String("SetStopDelay")) {
            m_stopDelayMs = args.value(0).toInt();
            return {};
        }
        if (member == QLatin1String("Refuse")) {
            m_refusals[args.value(0).toString()] = {args.value(1).toString(), args.value(2).toString()};
            return {};
        }
        return error(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member);
    }

    void record(const QDBusMessage &message)
    {
        QStringList words{message.member()};
        for (const QVariant &argument : message.arguments()) {
            if (argument.typeId() == QMetaType::QStringList)
                words << argument.toStringList().join(QLatin1Char(','));
            else if (argument.typeId() == QMetaType::Bool)
                words << (argument.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
            else
                words << argument.toString();
        }
        m_calls << words.join(QLatin1Char(' '));
    }

    QString m_root;
    QHash<QString, QString> m_units; // loaded units and their activity
    QHash<QString, QPair<QString, QString>> m_refusals;
    QPair<QString, QString> m_pendingError;
    QStringList m_calls;
    int m_stopDelayMs = 300;
    int m_jobs = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <root>\n", argv[0]);
        return 2;
    }
    qDBusRegisterMetaType<Change>();
    qDBusRegisterMetaType<QList<Change>>();
    QDBusConnection bus = QDBusConnection::systemBus();
    FakeManager manager(QString::fromLocal8Bit(argv[1]));
    if (!bus.isConnected()
        || !bus.registerVirtualObject(managerPath, &manager, QDBusConnection::SubPath)
        || !bus.registerService(QStringLiteral("org.freedesktop.systemd1"))) {
        std::fprintf(stderr, "cannot serve on the bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
