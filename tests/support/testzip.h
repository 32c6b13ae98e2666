#pragma once

// Zip archives put together byte by byte, so that a test can write exactly the lie or the
// damage it needs (a false size, a wrong CRC, a name that leaves the archive) into an
// otherwise sound workbook.

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <zlib.h>

namespace TestZip {

struct Part
{
    QByteArray name;
    QByteArray payload;       // the bytes as they stand in the archive
    quint16 method = 8;       // 0 stored, 8 deflated
    quint32 crc = 0;          // as the headers state it
    quint32 size = 0;         // uncompressed size, as the headers state it
    qint64 statedOffset = -1; // where the central directory says the local header is; -1: where it is
};

inline QByteArray rawDeflate(const QByteArray &data)
{
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

// `prefix` and then `unit` over and over up to `bytes` in all, deflated a megabyte at a
// time: the archive stays tiny while the part inflates to any size. *crc receives the
// CRC-32 of the whole.
inline QByteArray deflatedRepeats(const QByteArray &prefix, const QByteArray &unit, qint64 bytes, quint32 *crc)
{
    const QByteArray block = unit.repeated(qMax(1, 1024 * 1024 / unit.size()));
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out;
    char chunk[64 * 1024];
    uLong sum = crc32(0, nullptr, 0);
    bool first = true;
    for (qint64 left = bytes; left > 0 || stream.avail_in > 0;) {
        if (stream.avail_in == 0) {
            const QByteArray &source = first ? prefix : block;
            const int take = int(qMin<qint64>(left, source.size()));
            first = false;
            stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(source.constData()));
            stream.avail_in = uInt(take);
            sum = crc32(sum, reinterpret_cast<const Bytef *>(source.constData()), uInt(take));
            left -= take;
        }
        do {
            stream.next_out = reinterpret_cast<Bytef *>(chunk);
            stream.avail_out = sizeof chunk;
            deflate(&stream, left > 0 ? Z_NO_FLUSH : Z_FINISH);
            out.append(chunk, int(sizeof chunk - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    *crc = quint32(sum);
    return out;
}

inline Part part(const QByteArray &name, const QByteArray &data, quint16 method = 8)
{
    Part p;
    p.name = name;
    p.method = method;
    p.payload = method == 8 ? rawDeflate(data) : data;
    p.crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size())));
    p.size = quint32(data.size());
    return p;
}

inline void put16(QByteArray *out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out->append(b, 2);
}

inline void put32(QByteArray *out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out->append(b, 4);
}

// Local headers and data, the central directory, then its end record.
inline QByteArray archive(QList<Part> parts)
{
    QByteArray out;
    for (Part &p : parts) {
        if (p.statedOffset < 0)
            p.statedOffset = out.size();
        put32(&out, 0x04034b50);
        for (quint16 v : {quint16(20), quint16(0), p.method, quint16(0), quint16(0)})
            put16(&out, v);
        put32(&out, p.crc);
        put32(&out, quint32(p.payload.size()));
        put32(&out, p.size);
        put16(&out, quint16(p.name.size()));
        put16(&out, 0);
        out += p.name + p.payload;
    }
    const quint32 directory = quint32(out.size());
    for (const Part &p : parts) {
        put32(&out, 0x02014b50);
        for (quint16 v : {quint16(20), quint16(20), quint16(0), p.method, quint16(0), quint16(0)})
            put16(&out, v);
        put32(&out, p.crc);
        put32(&out, quint32(p.payload.size()));
        put32(&out, p.size);
        for (quint16 v : {quint16(p.name.size()), quint16(0), quint16(0), quint16(0), quint16(0)})
            put16(&out, v);
        put32(&out, 0);
        put32(&out, quint32(p.statedOffset));
        out += p.name;
    }
    const quint32 directorySize = quint32(out.size()) - directory;
    put32(&out, 0x06054b50);
    for (quint16 v : {quint16(0), quint16(0), quint16(parts.size()), quint16(parts.size())})
        put16(&out, v);
    put32(&out, directorySize);
    put32(&out, directory);
    put16(&out, 0);
    return out;
}

inline QByteArray sheetXml(const QByteArray &rows)
{
    return "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>" + rows
           + "</sheetData></worksheet>";
}

// The three parts a workbook needs to be read: the sheet list, its relationships and one
// measurement sheet with `rows` (<row> elements).
inline QByteArray workbookXml()
{
    return "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
           "<sheet name=\"Measurements\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
}

inline QList<Part> workbook(const QByteArray &rows)
{
    return {part("xl/workbook.xml", workbookXml()),
            part("xl/_rels/workbook.xml.rels",
                 "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                 "<Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\" Type=\"http://schemas."
                 "openxmlformats.org/officeDocument/2006/relationships/worksheet\"/></Relationships>"),
            part("xl/worksheets/sheet1.xml", sheetXml(rows))};
}

} // namespace TestZip
