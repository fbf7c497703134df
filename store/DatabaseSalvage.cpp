#include "DatabaseSalvage.h"

#include <QFile>

#include <algorithm>
#include <climits>

namespace NVL::Engineering::VK {

namespace {

constexpr int FileHeaderSize = 100;
constexpr int LogHeaderSize = 32;
constexpr int FrameHeaderSize = 24;
constexpr quint32 LogMagic = 0x377f0682;

// Page kinds of the b-tree pages.
constexpr quint8 IndexInterior = 2;
constexpr quint8 TableInterior = 5;
constexpr quint8 IndexLeaf = 10;
constexpr quint8 TableLeaf = 13;

// The serial type of an 8-byte blob: the serial column of every battery row and index entry.
constexpr quint64 SerialColumnType = 12 + 2 * 8;

quint32 bigEndian32(const uchar *p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

quint32 bigEndian32(const QByteArray &bytes, int at)
{
    return bigEndian32(reinterpret_cast<const uchar *>(bytes.constData()) + at);
}

int bigEndian16(const QByteArray &bytes, int at)
{
    return (uchar(bytes.at(at)) << 8) | uchar(bytes.at(at + 1));
}

bool validPageSize(int size)
{
    return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

// The running checksum of the log: pairs of 32-bit words in the byte order the log names.
void addChecksum(const uchar *data, int size, bool bigEndianWords, quint32 &s0, quint32 &s1)
{
    for (int i = 0; i + 8 <= size; i += 8) {
        quint32 x0, x1;
        if (bigEndianWords) {
            x0 = bigEndian32(data + i);
            x1 = bigEndian32(data + i + 4);
        } else {
            x0 = quint32(data[i]) | (quint32(data[i + 1]) << 8) | (quint32(data[i + 2]) << 16)
                | (quint32(data[i + 3]) << 24);
            x1 = quint32(data[i + 4]) | (quint32(data[i + 5]) << 8) | (quint32(data[i + 6]) << 16)
                | (quint32(data[i + 7]) << 24);
        }
        s0 += x0 + s1;
        s1 += x1 + s0;
    }
}

// A variable-length integer; false when it runs past the end.
bool readVarint(const QByteArray &bytes, int &at, int end, quint64 &value)
{
    value = 0;
    for (int i = 0; i < 9; ++i) {
        if (at >= end)
            return false;
        const uchar byte = uchar(bytes.at(at++));
        if (i == 8) {
            value = (value << 8) | byte;
            return true;
        }
        value = (value << 7) | (byte & 0x7F);
        if (!(byte & 0x80))
            return true;
    }
    return true;
}

qint64 columnSize(quint64 type)
{
    static const int fixed[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
    if (type < 10)
        return fixed[type];
    if (type < 12)
        return -1; // reserved
    return qint64((type - 12) / 2);
}

struct Column
{
    quint64 type = 0;
    int offset = 0;
    int size = 0;
};

// The columns of a record that lies whole within [at, end).
bool parseRecord(const QByteArray &bytes, int at, int end, QList<Column> &columns)
{
    columns.clear();
    int cursor = at;
    quint64 headerSize = 0;
    if (!readVarint(bytes, cursor, end, headerSize) || headerSize < 1 || quint64(end - at) < headerSize)
        return false;
    const int headerEnd = at + int(headerSize);
    int body = headerEnd;
    while (cursor < headerEnd) {
        quint64 type = 0;
        if (!readVarint(bytes, cursor, headerEnd, type))
            return false;
        const qint64 size = columnSize(type);
        if (size < 0 || size > end - body)
            return false;
        columns.append({type, body, int(size)});
        body += int(size);
    }
    return cursor == headerEnd && body == end;
}

} // namespace

DatabaseSalvage::DatabaseSalvage(const QString &mainPath, const QString &walPath)
    : m_mainPath(mainPath)
    , m_walPath(walPath)
{
}

void DatabaseSalvage::read()
{
    readMainFile();
    readLog();
    if (m_pageCount == 0)
        return;
    // A page count beyond every page at hand (a cut-off file, or a garbled header) is counted, not walked.
    quint32 present = quint32((m_main.size() + m_pageSize - 1) / m_pageSize);
    for (auto it = m_logPages.cbegin(); it != m_logPages.cend(); ++it)
        present = std::max(present, it.key());
    const quint32 scanned = std::min(m_pageCount, present);
    m_unreadablePages = int(std::min<quint32>(m_pageCount - scanned, quint32(INT_MAX)));
    const QSet<quint32> free = freePages();
    for (quint32 number = 1; number <= scanned; ++number) {
        if (free.contains(number))
            continue;
        const QByteArray image = page(number);
        if (image.isEmpty())
            ++m_unreadablePages;
        else
            scanPage(number, image);
    }
    if (m_unreadablePages == 0) {
        m_allSerials = m_indexedSerials;
        m_lostCountExact = true;
    } else {
        countRowsExactly();
    }
}

void DatabaseSalvage::readMainFile()
{
    QFile file(m_mainPath);
    if (file.open(QIODevice::ReadOnly))
        m_main = file.readAll();
    m_mainHeaderValid = m_main.size() >= FileHeaderSize && m_main.startsWith(QByteArray("SQLite format 3\0", 16));
    const int declared = m_mainHeaderValid ? bigEndian16(m_main, 16) : 0;
    const int size = declared == 1 ? 65536 : declared;
    m_mainHeaderValid = m_mainHeaderValid && validPageSize(size);
    // A cut-off last page still counts, as one that cannot be read.
    const auto pagesInFile = [this] { return quint32((m_main.size() + m_pageSize - 1) / m_pageSize); };
    if (!m_mainHeaderValid) {
        // Without a header the server's own page size is the best guess for what follows.
        m_pageCount = pagesInFile();
        return;
    }
    m_pageSize = size;
    m_reserved = uchar(m_main.at(20));
    // The page count in the header holds only while the change counter matches the one it was
    // written with; otherwise the file's own length tells.
    const quint32 declaredCount = bigEndian32(m_main, 28);
    if (declaredCount > 0 && bigEndian32(m_main, 24) == bigEndian32(m_main, 92))
        m_pageCount = declaredCount;
    else
        m_pageCount = pagesInFile();
}

void DatabaseSalvage::readLog()
{
    QFile file(m_walPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray header = file.read(LogHeaderSize);
    if (header.size() < LogHeaderSize)
        return;
    const quint32 magic = bigEndian32(header, 0);
    if ((magic & ~1u) != LogMagic)
        return;
    const bool bigEndianWords = magic & 1;
    const int size = int(bigEndian32(header, 8));
    if (!validPageSize(size) || (m_mainHeaderValid && size != m_pageSize))
        return;
    quint32 s0 = 0, s1 = 0;
    addChecksum(reinterpret_cast<const uchar *>(header.constData()), 24, bigEndianWords, s0, s1);
    if (s0 != bigEndian32(header, 24) || s1 != bigEndian32(header, 28))
        return;
    if (!m_mainHeaderValid)
        m_pageSize = size;

    // Frames count only up to the last commit whose checksums all hold, as for SQLite itself.
    QHash<quint32, QByteArray> pending;
    for (;;) {
        const QByteArray frame = file.read(FrameHeaderSize + m_pageSize);
        if (frame.size() < FrameHeaderSize + m_pageSize)
            break;
        if (frame.mid(8, 8) != header.mid(16, 8))
            break;
        const auto *bytes = reinterpret_cast<const uchar *>(frame.constData());
        addChecksum(bytes, 8, bigEndianWords, s0, s1);
        addChecksum(bytes + FrameHeaderSize, m_pageSize, bigEndianWords, s0, s1);
        if (s0 != bigEndian32(frame, 16) || s1 != bigEndian32(frame, 20))
            break;
        const quint32 number = bigEndian32(frame, 0);
        if (number == 0)
            break;
        pending.insert(number, frame.mid(FrameHeaderSize));
        const quint32 committedSize = bigEndian32(frame, 4);
        if (committedSize != 0) {
            for (auto it = pending.cbegin(); it != pending.cend(); ++it)
                m_logPages.insert(it.key(), it.value());
            pending.clear();
            m_pageCount = committedSize;
        }
    }
    const QByteArray first = m_logPages.value(1);
    if (first.size() > 20 && first.startsWith("SQLite format 3"))
        m_reserved = uchar(first.at(20));
}

QByteArray DatabaseSalvage::page(quint32 number) const
{
    const auto logged = m_logPages.constFind(number);
    if (logged != m_logPages.cend())
        return *logged;
    const qint64 offset = qint64(number - 1) * m_pageSize;
    if (offset + m_pageSize > m_main.size())
        return QByteArray();
    return m_main.mid(offset, m_pageSize);
}

QSet<quint32> DatabaseSalvage::freePages() const
{
    QSet<quint32> free;
    const QByteArray first = page(1);
    if (first.size() < FileHeaderSize)
        return free;
    quint32 trunk = bigEndian32(first, 32);
    const int usable = m_pageSize - m_reserved;
    // Every step adds at least one page, so a looping or garbled list ends within the file.
    while (trunk != 0 && trunk <= m_pageCount && !free.contains(trunk)) {
        free.insert(trunk);
        const QByteArray image = page(trunk);
        if (image.isEmpty())
            break;
        const quint32 leaves = std::min<quint32>(bigEndian32(image, 4), quint32((usable - 8) / 4));
        for (quint32 i = 0; i < leaves; ++i) {
            const quint32 leaf = bigEndian32(image, int(8 + 4 * i));
            if (leaf != 0 && leaf <= m_pageCount)
                free.insert(leaf);
        }
        trunk = bigEndian32(image, 0);
    }
    return free;
}

void DatabaseSalvage::scanPage(quint32 number, const QByteArray &image)
{
    const int header = number == 1 ? FileHeaderSize : 0;
    const int usable = m_pageSize - m_reserved;
    if (usable < 480 || header + 8 > usable) {
        ++m_unreadablePages;
        return;
    }
    bool sound = true;
    switch (uchar(image.at(header))) {
    case TableLeaf:
        sound = scanTableLeaf(image, header, usable);
        break;
    case IndexLeaf:
        sound = readIndexPage(image, header, usable, false, m_indexedSerials, nullptr);
        break;
    case IndexInterior:
        sound = readIndexPage(image, header, usable, true, m_indexedSerials, nullptr);
        break;
    case TableInterior:
        break; // holds nothing but rowids and page numbers
    default:
        sound = false;
    }
    if (!sound)
        ++m_unreadablePages;
}

bool DatabaseSalvage::scanTableLeaf(const QByteArray &image, int header, int usable)
{
    const int cells = bigEndian16(image, header + 3);
    const int pointers = header + 8;
    if (pointers + 2 * cells > usable)
        return false;
    const int maxLocal = usable - 35;
    bool sound = true;
    QList<Column> columns;
    for (int i = 0; i < cells; ++i) {
        int at = bigEndian16(image, pointers + 2 * i);
        if (at < pointers + 2 * cells || at >= usable) {
            sound = false;
            continue;
        }
        quint64 payload = 0, rowid = 0;
        if (!readVarint(image, at, usable, payload) || !readVarint(image, at, usable, rowid)) {
            sound = false;
            continue;
        }
        // Battery rows are far smaller than a page; a longer payload belongs to nothing of ours.
        if (payload > quint64(maxLocal) || payload > quint64(usable - at))
            continue;
        if (!parseRecord(image, at, at + int(payload), columns))
            continue;
        if (columns.size() != 2 || columns[0].type != SerialColumnType || columns[1].type < 12
            || columns[1].type % 2 != 0)
            continue;
        Row row{image.mid(columns[0].offset, 8), image.mid(columns[1].offset, columns[1].size), qint64(rowid)};
        const auto known = m_rows.constFind(row.serial);
        // The serial is unique; should an orphaned page still hold an older row, the later one wins.
        if (known == m_rows.cend() || known->rowid < row.rowid)
            m_rows.insert(row.serial, row);
    }
    return sound;
}

bool DatabaseSalvage::readIndexPage(const QByteArray &image, int header, int usable, bool interior,
                                    QSet<QByteArray> &serials, QList<quint32> *children) const
{
    const int cells = bigEndian16(image, header + 3);
    const int pointers = header + (interior ? 12 : 8);
    if (pointers + 2 * cells > usable)
        return false;
    if (children && interior)
        children->append(bigEndian32(image, header + 8));
    bool sound = true;
    QList<Column> columns;
    for (int i = 0; i < cells; ++i) {
        int at = bigEndian16(image, pointers + 2 * i);
        if (at < pointers + 2 * cells || at + (interior ? 4 : 0) >= usable) {
            sound = false;
            continue;
        }
        if (interior) {
            if (children)
                children->append(bigEndian32(image, at));
            at += 4;
        }
        quint64 payload = 0;
        if (!readVarint(image, at, usable, payload)) {
            sound = false;
            continue;
        }
        if (payload > quint64(usable - at) || !parseRecord(image, at, at + int(payload), columns))
            continue;
        // Both indexes of the table hold the serial followed by the rowid.
        if (columns.size() == 2 && columns[0].type == SerialColumnType && columns[1].type >= 1 && columns[1].type <= 9
            && columns[1].type != 7)
            serials.insert(image.mid(columns[0].offset, 8));
    }
    return sound;
}

QList<quint32> DatabaseSalvage::indexRoots() const
{
    // The schema table starts on page 1; its rows of type "index" on "batteries" name the roots.
    QList<quint32> roots;
    QList<quint32> pending{1};
    QSet<quint32> seen;
    const int usable = m_pageSize - m_reserved;
    QList<Column> columns;
    while (!pending.isEmpty()) {
        const quint32 number = pending.takeLast();
        const QByteArray image = number <= m_pageCount && !seen.contains(number) ? page(number) : QByteArray();
        if (image.isEmpty())
            return {};
        seen.insert(number);
        const int header = number == 1 ? FileHeaderSize : 0;
        const uchar kind = uchar(image.at(header));
        const int cells = bigEndian16(image, header + 3);
        const int pointers = header + (kind == TableInterior ? 12 : 8);
        if ((kind != TableInterior && kind != TableLeaf) || pointers + 2 * cells > usable)
            return {};
        if (kind == TableInterior)
            pending.append(bigEndian32(image, header + 8));
        for (int i = 0; i < cells; ++i) {
            int at = bigEndian16(image, pointers + 2 * i);
            if (at < pointers + 2 * cells || at + 4 >= usable)
                return {};
            if (kind == TableInterior) {
                pending.append(bigEndian32(image, at));
                continue;
            }
            quint64 payload = 0, rowid = 0;
            if (!readVarint(image, at, usable, payload) || !readVarint(image, at, usable, rowid)
                || payload > quint64(usable - at) || !parseRecord(image, at, at + int(payload), columns))
                return {};
            if (columns.size() != 5 || columns[3].type < 1 || columns[3].type > 4)
                continue;
            if (image.mid(columns[0].offset, columns[0].size) != "index"
                || image.mid(columns[2].offset, columns[2].size) != "batteries")
                continue;
            quint32 root = 0;
            for (int k = 0; k < columns[3].size; ++k)
                root = (root << 8) | uchar(image.at(columns[3].offset + k));
            roots.append(root);
        }
    }
    return roots;
}

bool DatabaseSalvage::readIndexTree(quint32 root, QSet<QByteArray> &serials) const
{
    const int usable = m_pageSize - m_reserved;
    QList<quint32> pending{root};
    QSet<quint32> seen;
    while (!pending.isEmpty()) {
        const quint32 number = pending.takeLast();
        if (number == 0 || number > m_pageCount || seen.contains(number))
            return false;
        seen.insert(number);
        const QByteArray image = page(number);
        if (image.isEmpty())
            return false;
        const int header = number == 1 ? FileHeaderSize : 0;
        const uchar kind = uchar(image.at(header));
        if ((kind != IndexLeaf && kind != IndexInterior)
            || !readIndexPage(image, header, usable, kind == IndexInterior, serials, &pending))
            return false;
    }
    return true;
}

void DatabaseSalvage::countRowsExactly()
{
    // One index read whole names every row there is, and so makes the count of lost rows exact.
    for (const quint32 root : indexRoots()) {
        QSet<QByteArray> serials;
        if (readIndexTree(root, serials)) {
            m_allSerials = serials;
            m_lostCountExact = true;
            return;
        }
    }
}

QList<DatabaseSalvage::Row> DatabaseSalvage::rows() const
{
    QList<Row> result = m_rows.values();
    std::sort(result.begin(), result.end(), [](const Row &a, const Row &b) { return a.serial < b.serial; });
    return result;
}

int DatabaseSalvage::lostRows() const
{
    int lost = 0;
    for (const QByteArray &serial : m_lostCountExact ? m_allSerials : m_indexedSerials) {
        if (!m_rows.contains(serial))
            ++lost;
    }
    return lost;
}

} // namespace NVL::Engineering::VK
