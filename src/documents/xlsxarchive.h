#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The zip container of a workbook, read from bytes already in memory. Workbooks come
// from outside (a balance's export, a USB stick), so nothing in a header is trusted: the
// central directory is walked with every offset checked against the data, memory grows
// only as inflated bytes actually arrive, and every part is checked against its CRC-32.
// Nothing else in the program touches zip bytes.
class XlsxArchive
{
public:
    static constexpr qint64 MaxArchiveBytes = 16 * 1024 * 1024;
    static constexpr int MaxEntries = 10000;
    static constexpr qint64 MaxPartBytes = 32 * 1024 * 1024;

    // False (with errorString()) for anything that is not a whole, plain zip archive
    // within the limits above. The bytes are shared, not copied.
    bool open(const QByteArray &bytes);
    QString errorString() const { return m_error; }

    // Names that would leave the archive ("..", absolute, backslashes) are never present.
    bool contains(const QString &name) const;
    // The part's bytes; *ok false (and an empty result) when it is missing, damaged,
    // encrypted, compressed otherwise than stored or deflated, or larger than allowed.
    QByteArray read(const QString &name, bool *ok = nullptr) const;

    static bool isSafeName(const QString &name);

private:
    struct Entry
    {
        quint16 flags = 0;
        quint16 method = 0;
        quint32 crc = 0;
        quint32 compressedSize = 0;
        quint32 uncompressedSize = 0;
        quint32 localOffset = 0;
    };

    bool fail(const QString &why);
    qint64 findEndOfCentralDirectory() const;
    bool readCentralDirectory(qint64 offset, qint64 size, int count);
    qint64 dataOffset(const Entry &entry) const;
    bool inflatePart(const Entry &entry, qint64 offset, QByteArray *out) const;

    QByteArray m_bytes;
    qint64 m_centralDirectory = 0;
    QHash<QString, Entry> m_entries;
    QString m_error;
};
