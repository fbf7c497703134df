#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QTemporaryDir>

// Where the rows of a battery database lie, as SQLite itself reports it (its dbstat table), for
// tests that damage chosen pages and predict what survives. Looks at a copy: the files given are
// left exactly as they were.
class DatabaseLayout
{
public:
    struct Page
    {
        quint32 number = 0;
        int cells = 0;
    };

    DatabaseLayout(const QString &mainPath, const QString &walPath);

    bool isValid() const { return m_valid; }
    // Pages of one b-tree ("batteries", "batteries_serial_idx", ...) of one kind ("leaf", "internal"),
    // as seen with the log applied.
    QList<Page> pages(const QString &tree, const QString &kind) const { return m_pages.value(tree + '/' + kind); }
    // Page numbers that the log holds a newer image of.
    QSet<quint32> logPages() const { return m_logPages; }
    quint32 mainPageCount() const { return m_mainPageCount; }
    // The page of the given kind nearest to the middle of the main file that the log does not hold.
    Page middlePage(const QString &tree, const QString &kind) const;
    // Rows of the batteries table still readable when the main file is cut after cutBytes.
    int rowsSurvivingCut(qint64 cutBytes) const;

    static constexpr int PageSize = 512;
    static bool overwritePage(const QString &path, quint32 page);

private:
    QTemporaryDir m_scratch;
    QHash<QString, QList<Page>> m_pages;
    QSet<quint32> m_logPages;
    quint32 m_mainPageCount = 0;
    bool m_valid = false;
};
