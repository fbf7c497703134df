#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace NVL::Engineering::VK {

// Reads the battery rows out of a damaged SQLite file and its write-ahead log page by page,
// without SQLite: a damaged page costs only the rows stored on it, never those behind it.
// Pages are taken as SQLite itself would see them: the newest committed frame of the log wins
// over the main file, torn or foreign frames count for nothing, and free pages are left out so
// that deleted rows stay deleted. The files are only read.
class DatabaseSalvage
{
public:
    struct Row
    {
        QByteArray serial;
        QByteArray data;
        qint64 rowid = 0;
    };

    DatabaseSalvage(const QString &mainPath, const QString &walPath);

    void read();

    // One row per serial, in ascending byte order of the serial.
    QList<Row> rows() const;
    // Serials that an index entry names but whose row could not be read.
    int lostRows() const;
    // True when an index could be read whole, or nothing was unreadable; otherwise lostRows()
    // counts only the serials that surviving index entries name, and more may be lost.
    bool lostCountExact() const { return m_lostCountExact; }
    // Pages of the database that are missing (cut off) or hold nothing that can be read.
    int unreadablePages() const { return m_unreadablePages; }

private:
    void readMainFile();
    void readLog();
    QByteArray page(quint32 number) const;
    QSet<quint32> freePages() const;
    void scanPage(quint32 number, const QByteArray &image);
    bool scanTableLeaf(const QByteArray &image, int header, int usable);
    bool readIndexPage(const QByteArray &image, int header, int usable, bool interior, QSet<QByteArray> &serials,
                       QList<quint32> *children) const;
    QList<quint32> indexRoots() const;
    bool readIndexTree(quint32 root, QSet<QByteArray> &serials) const;
    void countRowsExactly();

    QString m_mainPath;
    QString m_walPath;
    QByteArray m_main;
    bool m_mainHeaderValid = false;
    int m_pageSize = 512;
    int m_reserved = 0;
    quint32 m_pageCount = 0;
    QHash<quint32, QByteArray> m_logPages;
    QHash<QByteArray, Row> m_rows;
    QSet<QByteArray> m_indexedSerials;
    QSet<QByteArray> m_allSerials;
    bool m_lostCountExact = false;
    int m_unreadablePages = 0;
};

} // namespace NVL::Engineering::VK
