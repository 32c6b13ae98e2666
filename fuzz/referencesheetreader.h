#pragma once

// The measurement sheet read the slow, sure way: QXmlStreamReader fed 256 KiB at a time,
// as the importer did before it got its own byte scanner. The workbook fuzz target holds
// the scanner to what this reader makes of the same XML; besides the rows it notes the
// two things the scanner refuses on purpose where QXmlStreamReader reads on.

#include "documents/certificationmanager.h"

#include <QXmlStreamReader>

#include <cmath>
#include <optional>

namespace ReferenceSheet {

// QXmlStreamReader turns all the bytes it holds into UTF-16 at once, so the part reaches
// it a slice at a time; a DTD makes the part unreadable.
class PartXml : public QXmlStreamReader
{
public:
    explicit PartXml(const QByteArray &bytes)
        : m_bytes(bytes)
    {
    }

    TokenType next()
    {
        TokenType token = readNext();
        while (token == Invalid && error() == PrematureEndOfDocumentError && m_fed < m_bytes.size()) {
            addData(m_bytes.mid(m_fed, Slice));
            m_fed += Slice;
            token = readNext();
        }
        if (token == DTD)
            raiseError(QStringLiteral("DTD refused"));
        return hasError() ? Invalid : token;
    }
    bool finished() const { return atEnd() && (error() != PrematureEndOfDocumentError || m_fed >= m_bytes.size()); }

private:
    static constexpr int Slice = 256 * 1024;
    const QByteArray m_bytes;
    int m_fed = 0;
};

class Reader
{
public:
    bool read(const QByteArray &bytes, ParsedWorkbook *parsed)
    {
        PartXml xml(bytes);
        while (!xml.finished()) {
            switch (xml.next()) {
            case QXmlStreamReader::StartDocument:
                m_encoding = xml.documentEncoding().toString();
                break;
            case QXmlStreamReader::StartElement:
                start(xml, parsed);
                break;
            case QXmlStreamReader::EndElement:
                end(xml.name());
                break;
            case QXmlStreamReader::Characters:
                if (m_inValue && m_text.size() <= LongestNumber)
                    m_text += xml.text();
                break;
            default:
                break;
            }
        }
        finishRow(parsed);
        return !xml.hasError();
    }

    // As the XML declaration names it; empty without one.
    QString encoding() const { return m_encoding; }
    int deepest() const { return m_deepest; }

private:
    static constexpr int LongestNumber = 64;
    static constexpr int ColumnC = 3, ColumnG = 7, ColumnK = 11;

    static int columnOf(const QStringRef &reference)
    {
        int column = 0;
        for (int i = 0; i < reference.size() && i < 4; ++i) {
            const QChar c = reference.at(i).toUpper();
            if (c < QLatin1Char('A') || c > QLatin1Char('Z'))
                break;
            column = column * 26 + (c.unicode() - 'A' + 1);
        }
        return column;
    }

    void start(const QXmlStreamReader &xml, ParsedWorkbook *parsed)
    {
        m_deepest = qMax(m_deepest, ++m_depth);
        if (xml.name() == QLatin1String("row")) {
            finishRow(parsed);
            m_column = 0;
        } else if (xml.name() == QLatin1String("c")) {
            const QStringRef reference = xml.attributes().value(QLatin1String("r"));
            m_column = reference.isEmpty() ? m_column + 1 : columnOf(reference);
            const QStringRef type = xml.attributes().value(QLatin1String("t"));
            m_numeric = type.isEmpty() || type == QLatin1String("n");
            m_inCell = true;
        } else if (xml.name() == QLatin1String("v") && m_inCell) {
            m_inValue = m_numeric && (m_column == ColumnC || m_column == ColumnG || m_column == ColumnK);
            m_text.clear();
        }
    }

    void end(const QStringRef &name)
    {
        --m_depth;
        if (name == QLatin1String("v") && m_inValue)
            takeValue();
        if (name == QLatin1String("v") || name == QLatin1String("c"))
            m_inValue = false;
        if (name == QLatin1String("c"))
            m_inCell = false;
    }

    void takeValue()
    {
        bool ok = false;
        const double value = m_text.size() <= LongestNumber ? m_text.trimmed().toDouble(&ok) : 0;
        if (!ok || !std::isfinite(value))
            return;
        std::optional<double> &cell = m_column == ColumnC ? m_row.cp : m_column == ColumnG ? m_row.weight : m_row.z;
        cell = value;
    }

    void finishRow(ParsedWorkbook *parsed)
    {
        const Row row = m_row;
        m_row = Row();
        if (!row.cp || !row.weight || std::abs(*row.cp) >= 1e9)
            return;
        parsed->weights[int(std::lround(*row.cp))].append(*row.weight);
        if (row.z)
            parsed->zFactor = *row.z;
    }

    struct Row
    {
        std::optional<double> cp, weight, z;
    };
    Row m_row;
    int m_column = 0;
    bool m_inCell = false;
    bool m_numeric = false;
    bool m_inValue = false;
    QString m_text;
    int m_depth = 0;
    int m_deepest = 0;
    QString m_encoding;
};

} // namespace ReferenceSheet
