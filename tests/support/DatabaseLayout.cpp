#include "DatabaseLayout.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

DatabaseLayout::DatabaseLayout(const QString &mainPath, const QString &walPath)
{
    m_mainPageCount = quint32(QFileInfo(mainPath).size() / PageSize);

    // Frame headers of a cleanly written log: 32-byte file header, then 24 bytes before each page.
    QFile log(walPath);
    if (log.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = log.readAll();
        for (qint64 at = 32; at + 24 + PageSize <= bytes.size(); at += 24 + PageSize)
            m_logPages.insert(quint32(uchar(bytes[at])) << 24 | quint32(uchar(bytes[at + 1])) << 16
                              | quint32(uchar(bytes[at + 2])) << 8 | quint32(uchar(bytes[at + 3])));
    }

    const QString copy = m_scratch.filePath(QStringLiteral("layout.db"));
    if (!QFile::copy(mainPath, copy) || (QFile::exists(walPath) && !QFile::copy(walPath, copy + "-wal")))
        return;
    const QString name = QStringLiteral("layout-%1").arg(quintptr(this));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(copy);
        QSqlQuery query(db);
        if (db.open() && query.exec(QStringLiteral("SELECT name, pagetype, pageno, ncell FROM dbstat"))) {
            m_valid = true;
            while (query.next())
                m_pages[query.value(0).toString() + '/' + query.value(1).toString()].append(
                    {query.value(2).toUInt(), query.value(3).toInt()});
        }
        query = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

DatabaseLayout::Page DatabaseLayout::middlePage(const QString &tree, const QString &kind) const
{
    Page best;
    const qint64 middle = m_mainPageCount / 2;
    for (const Page &page : pages(tree, kind)) {
        if (m_logPages.contains(page.number) || page.number > m_mainPageCount)
            continue;
        if (best.number == 0 || qAbs(qint64(page.number) - middle) < qAbs(qint64(best.number) - middle))
            best = page;
    }
    return best;
}

int DatabaseLayout::rowsSurvivingCut(qint64 cutBytes) const
{
    int rows = 0;
    for (const Page &page : pages(QStringLiteral("batteries"), QStringLiteral("leaf"))) {
        if (m_logPages.contains(page.number) || qint64(page.number) * PageSize <= cutBytes)
            rows += page.cells;
    }
    return rows;
}

bool DatabaseLayout::overwritePage(const QString &path, quint32 page)
{
    QFile file(path);
    return page > 0 && file.open(QIODevice::ReadWrite) && file.seek(qint64(page - 1) * PageSize)
        && file.write(QByteArray(PageSize, char(0xFF))) == PageSize;
}
