#pragma once

#include <QString>

// Counts completed writes of one file, seen by the kernel (inotify on its folder): a close after
// writing, or another file renamed onto it. Reads open nothing for writing and do not count.
class FileWriteCounter
{
public:
    explicit FileWriteCounter(const QString &filePath);
    ~FileWriteCounter();

    FileWriteCounter(const FileWriteCounter &) = delete;
    FileWriteCounter &operator=(const FileWriteCounter &) = delete;

    bool isValid() const { return m_descriptor >= 0 && m_watch >= 0; }
    // Writes since construction.
    int count();

private:
    QString m_fileName;
    int m_descriptor = -1;
    int m_watch = -1;
    int m_total = 0;
};
