#include "documents/xlsxarchive.h"

#include <QtEndian>

#include <zlib.h>

namespace {

constexpr quint32 EndOfCentralDirectorySignature = 0x06054b50;
constexpr quint32 Zip64LocatorSignature = 0x07064b50;
constexpr quint32 CentralHeaderSignature = 0x02014b50;
constexpr quint32 LocalHeaderSignature = 0x04034b50;
constexpr qint64 EndRecordSize = 22;
constexpr qint64 CentralHeaderSize = 46;
constexpr qint64 LocalHeaderSize = 30;
constexpr quint16 Stored = 0;
constexpr quint16 Deflated = 8;
constexpr quint16 EncryptedFlag = 0x0001;
constexpr int InflateChunk = 64 * 1024;

quint16 u16(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

quint32 u32(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

// Appends without letting the capacity run past `cap`: QByteArray's own growth could
// double a nearly full buffer to twice the limit.
void appendCapped(QByteArray *out, const char *data, int size, qint64 cap)
{
    const qint64 needed = qint64(out->size()) + size;
    if (needed > out->capacity())
        out->reserve(int(qMin(cap, qMax(needed, 2 * qint64(out->capacity())))));
    out->append(data, size);
}

} // namespace

bool XlsxArchive::fail(const QString &why)
{
    m_error = why;
    m_entries.clear();
    m_bytes.clear();
    return false;
}

bool XlsxArchive::open(const QByteArray &bytes)
{
    m_entries.clear();
    m_error.clear();
    if (bytes.size() > MaxArchiveBytes)
        return fail(QStringLiteral("archive larger than %1 bytes").arg(MaxArchiveBytes));
    m_bytes = bytes;
    const qint64 end = findEndOfCentralDirectory();
    if (end < 0)
        return fail(QStringLiteral("no end of central directory"));
    // Multi-disk and zip64 archives are never what a spreadsheet program writes.
    const quint16 count = u16(m_bytes, end + 10);
    const quint32 size = u32(m_bytes, end + 12), offset = u32(m_bytes, end + 16);
    if (u16(m_bytes, end + 4) != 0 || u16(m_bytes, end + 6) != 0 || u16(m_bytes, end + 8) != count)
        return fail(QStringLiteral("spanned archive"));
    if (count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF
        || (end >= 20 && u32(m_bytes, end - 20) == Zip64LocatorSignature))
        return fail(QStringLiteral("zip64 archive"));
    if (count > MaxEntries)
        return fail(QStringLiteral("more than %1 entries").arg(MaxEntries));
    if (qint64(offset) + size > end)
        return fail(QStringLiteral("central directory outside the archive"));
    m_centralDirectory = offset;
    return readCentralDirectory(offset, size, count);
}

qint64 XlsxArchive::findEndOfCentralDirectory() const
{
    const qint64 size = m_bytes.size();
    // The record ends the file, followed only by a comment of at most 64 KiB.
    const qint64 lowest = qMax<qint64>(0, size - EndRecordSize - 0xFFFF);
    for (qint64 at = size - EndRecordSize; at >= lowest; --at) {
        if (u32(m_bytes, at) == EndOfCentralDirectorySignature && at + EndRecordSize + u16(m_bytes, at + 20) <= size)
            return at;
    }
    return -1;
}

bool XlsxArchive::readCentralDirectory(qint64 offset, qint64 size, int count)
{
    const qint64 end = offset + size;
    qint64 at = offset;
    for (int i = 0; i < count; ++i) {
        if (at + CentralHeaderSize > end || u32(m_bytes, at) != CentralHeaderSignature)
            return fail(QStringLiteral("damaged central directory"));
        const qint64 nameLength = u16(m_bytes, at + 28);
        const qint64 next = at + CentralHeaderSize + nameLength + u16(m_bytes, at + 30) + u16(m_bytes, at + 32);
        if (next > end)
            return fail(QStringLiteral("damaged central directory"));
        Entry entry;
        entry.flags = u16(m_bytes, at + 8);
        entry.method = u16(m_bytes, at + 10);
        entry.crc = u32(m_bytes, at + 16);
        entry.compressedSize = u32(m_bytes, at + 20);
        entry.uncompressedSize = u32(m_bytes, at + 24);
        entry.localOffset = u32(m_bytes, at + 42);
        const QString name = QString::fromUtf8(m_bytes.constData() + at + CentralHeaderSize, int(nameLength));
        if (isSafeName(name)) {
            // Two parts of one name: which one a reader sees would be a guess.
            if (m_entries.contains(name))
                return fail(QStringLiteral("two entries named %1").arg(name));
            m_entries.insert(name, entry);
        }
        at = next;
    }
    return true;
}

bool XlsxArchive::isSafeName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
           && !name.contains(QLatin1String("..")) && !name.contains(QLatin1Char(':')) && !name.contains(QChar());
}

bool XlsxArchive::contains(const QString &name) const
{
    return m_entries.contains(name);
}

qint64 XlsxArchive::dataOffset(const Entry &entry) const
{
    const qint64 local = entry.localOffset;
    if (local + LocalHeaderSize > m_centralDirectory || u32(m_bytes, local) != LocalHeaderSignature)
        return -1;
    const qint64 data = local + LocalHeaderSize + u16(m_bytes, local + 26) + u16(m_bytes, local + 28);
    return data + entry.compressedSize <= m_centralDirectory ? data : -1;
}

QByteArray XlsxArchive::read(const QString &name, bool *ok) const
{
    bool dummy = false;
    bool &good = ok ? *ok : dummy;
    good = false;
    const auto found = m_entries.constFind(name);
    if (found == m_entries.constEnd())
        return QByteArray();
    const Entry &entry = *found;
    const qint64 offset = dataOffset(entry);
    if (offset < 0 || (entry.flags & EncryptedFlag) || entry.uncompressedSize > MaxPartBytes)
        return QByteArray();
    QByteArray out;
    if (entry.method == Stored && entry.compressedSize == entry.uncompressedSize)
        out = m_bytes.mid(int(offset), int(entry.compressedSize));
    else if (entry.method != Deflated || !inflatePart(entry, offset, &out))
        return QByteArray();
    if (crc32(0, reinterpret_cast<const Bytef *>(out.constData()), uInt(out.size())) != entry.crc)
        return QByteArray();
    good = true;
    return out;
}

// Streams the raw deflate data through a fixed chunk, so the output only ever holds
// what the data really inflates to, and never more than the part says it holds.
bool XlsxArchive::inflatePart(const Entry &entry, qint64 offset, QByteArray *out) const
{
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(m_bytes.constData() + offset));
    stream.avail_in = entry.compressedSize;
    const qint64 cap = qMin<qint64>(entry.uncompressedSize, MaxPartBytes);
    char chunk[InflateChunk];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = InflateChunk;
        result = inflate(&stream, Z_NO_FLUSH);
        const int produced = InflateChunk - int(stream.avail_out);
        if (qint64(out->size()) + produced > cap)
            result = Z_DATA_ERROR;
        else if (produced > 0)
            appendCapped(out, chunk, produced, cap);
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END;
}
