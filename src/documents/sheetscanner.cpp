#include "documents/sheetscanner.h"

#include "documents/certificationmanager.h"
#include "documents/xmlbytes.h"

#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>

namespace {

using namespace XmlBytes;

// A sheet nests five or six deep; this leaves room for any writer's extensions while
// keeping the stack of open names a fixed size whatever the input.
constexpr int MaxDepth = 64;
constexpr int MaxPrefixes = 256;
// No number is written with more characters than this; longer text is none.
constexpr int LongestNumber = 64;
// UTF-8 spends at most three bytes on a UTF-16 unit: more bytes are more characters.
constexpr int LongestNumberBytes = 3 * LongestNumber;
constexpr int ColumnC = 3, ColumnG = 7, ColumnK = 11;

// A cell reference's column from its leading letters, A = 1; 0 without any. Letters are
// taken case-insensitively the way QChar::toUpper does, which turns a few non-ASCII
// letters into ASCII ones.
int columnOf(const char *reference, int length)
{
    const QString wide = std::find_if(reference, reference + length, [](char c) { return is(c, Wide); }) != reference + length
                             ? QString::fromUtf8(reference, length)
                             : QString();
    int column = 0;
    for (int i = 0; i < (wide.isNull() ? length : wide.size()) && i < 4; ++i) {
        const ushort c = wide.isNull() ? ushort(reference[i] >= 'a' && reference[i] <= 'z' ? reference[i] - 32 : reference[i])
                                       : wide.at(i).toUpper().unicode();
        if (c < 'A' || c > 'Z')
            break;
        column = column * 26 + (c - 'A' + 1);
    }
    return column;
}

// The common case of a number in a cell, digits with at most one point and no exponent,
// converted exactly as a correctly rounding parser would; nullopt for anything else.
std::optional<double> plainDecimal(const char *p, const char *end)
{
    static constexpr double Powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+'))
        ++p;
    qint64 mantissa = 0;
    int digits = 0, decimals = -1;
    for (; p < end; ++p) {
        if (*p == '.' && decimals < 0) {
            decimals = 0;
        } else if (*p >= '0' && *p <= '9' && digits < 15) {
            mantissa = mantissa * 10 + (*p - '0');
            ++digits;
            decimals += decimals >= 0;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0)
        return std::nullopt;
    // Both operands are exact doubles, so one division rounds correctly.
    const double value = double(mantissa) / Powers[qMax(decimals, 0)];
    return negative ? -value : value;
}

struct SheetRow
{
    std::optional<double> cp, weight, z;
};

struct Attribute
{
    const char *prefix = nullptr;   // null without one
    int prefixLength = 0;
    const char *name = nullptr;
    int nameLength = 0;
    const char *value = nullptr;
    int valueLength = 0;
    bool hasReference = false;

    bool isDeclaration() const
    {
        return prefix ? prefixLength == 5 && std::memcmp(prefix, "xmlns", 5) == 0 : named("xmlns");
    }
    bool named(const char *n) const { return !prefix && nameLength == int(std::strlen(n)) && std::memcmp(name, n, nameLength) == 0; }
};

// Walks the sheet's markup byte by byte, checking it as strictly as a general reader
// would, and acts on the few elements a measurement lives in: row, c and v, matched by
// their local name.
class SheetScanner
{
public:
    SheetScanner(const QByteArray &xml, ParsedWorkbook *parsed)
        : m_p(xml.constData())
        , m_end(xml.constData() + xml.size())
        , m_parsed(parsed)
    {
    }

    bool read();

private:
    struct Name
    {
        const char *begin = nullptr;
        int length = 0;
        int prefixLength = -1;   // -1: no prefix
    };
    struct Open
    {
        Name name;
        int prefixes = 0;   // declared prefixes in scope outside this element
    };
    struct Span
    {
        const char *begin;
        int length;
    };

    bool declaration();
    bool markup();
    bool startTag();
    bool attributes(const Name &element, bool *selfClosing);
    bool attribute(Attribute *a);
    bool declare(const Attribute &a);
    bool prefixDeclared(const char *prefix, int length) const;
    bool endTag();
    bool qualifiedName(Name *name);
    bool text();
    bool comment();
    bool processingInstruction();
    bool cdata();
    Q_ALWAYS_INLINE bool nameChars(quint8 charClass);
    bool reference(QByteArray *decoded) { return skipReference(&m_p, m_end, decoded); }
    bool wideChar() { return skipWideChar(&m_p, m_end); }
    bool skip(const char *literal) { return skipLiteral(&m_p, m_end, literal); }
    Q_ALWAYS_INLINE void skipSpace();
    bool atSpace() const { return m_p < m_end && is(*m_p, Space); }
    bool prefixesDeclared(const char *firstAttribute);
    static QByteArray decoded(const Attribute &a) { return decodedValue(a.value, a.value + a.valueLength); }

    void startElement(const char *local, int length, const Attribute *r, const Attribute *t);
    void endElement(const char *local, int length);
    void appendValue(const char *begin, const char *end);
    void takeValue();
    void finishRow();

    const char *m_p;
    const char *m_end;
    ParsedWorkbook *m_parsed;
    std::array<Open, MaxDepth> m_open;
    int m_depth = 0;
    bool m_rootRead = false;
    std::array<Span, MaxPrefixes> m_prefixes;
    int m_prefixCount = 0;

    SheetRow m_row;
    int m_column = 0;
    bool m_inCell = false;
    bool m_numeric = false;
    bool m_inValue = false;
    std::array<char, LongestNumberBytes + 1> m_value;
    int m_valueLength = 0;
};

bool SheetScanner::read()
{
    skip("\xEF\xBB\xBF");
    if (m_end - m_p > 5 && std::memcmp(m_p, "<?xml", 5) == 0 && (is(m_p[5], Space) || m_p[5] == '?') && !declaration())
        return false;
    while (m_p < m_end) {
        if (m_depth == 0) {
            // Outside the root only comments and processing instructions may stand.
            skipSpace();
            if (m_p < m_end && *m_p != '<')
                return false;
        }
        if (m_p < m_end && !(*m_p == '<' ? markup() : text()))
            return false;
    }
    finishRow();
    return m_rootRead && m_depth == 0;
}

// The XML declaration: version 1.0, then optionally the encoding, which must be UTF-8,
// and standalone.
bool SheetScanner::declaration()
{
    m_p += 5;
    int index = 0;
    bool standalone = false;
    while (atSpace()) {
        skipSpace();
        if (m_p < m_end && *m_p == '?')
            break;
        Attribute a;
        if (!attribute(&a) || a.prefix || (index++ == 0) != a.named("version"))
            return false;
        if (a.named("version")) {
            if (a.valueLength != 3 || std::memcmp(a.value, "1.0", 3) != 0)
                return false;
        } else if (a.named("encoding")) {
            const QByteArray name = decoded(a).toLower().replace('-', "").replace('_', "");
            if (standalone || name != "utf8")
                return false;
        } else if (a.named("standalone")) {
            const QByteArray value = decoded(a);
            if (value != "yes" && value != "no")
                return false;
            standalone = true;
        } else {
            return false;
        }
    }
    return index > 0 && skip("?>");
}

bool SheetScanner::markup()
{
    if (m_p + 1 >= m_end)
        return false;
    switch (m_p[1]) {
    case '/':
        return endTag();
    case '?':
        return processingInstruction();
    case '!':
        if (m_end - m_p >= 4 && std::memcmp(m_p, "<!--", 4) == 0)
            return comment();
        // CDATA belongs in an element; a DTD is how entities grow a few bytes into
        // gigabytes, and no sheet needs one.
        return m_depth > 0 && cdata();
    default:
        return startTag();
    }
}

bool SheetScanner::startTag()
{
    ++m_p;
    Name name;
    if (m_depth == MaxDepth || (m_depth == 0 && m_rootRead) || !qualifiedName(&name))
        return false;
    m_rootRead = true;
    m_open[m_depth] = {name, m_prefixCount};
    bool selfClosing = false;
    if (!attributes(name, &selfClosing))
        return false;
    if (name.prefixLength >= 0 && !prefixDeclared(name.begin, name.prefixLength))
        return false;
    if (selfClosing) {
        m_prefixCount = m_open[m_depth].prefixes;
        const int local = name.prefixLength + 1;
        endElement(name.begin + local, name.length - local);
    } else {
        ++m_depth;
    }
    return true;
}

// The attributes up to the end of the start tag, declaring the prefixes they declare and
// starting the element once they are read, with a cell's reference and type.
bool SheetScanner::attributes(const Name &element, bool *selfClosing)
{
    const char *first = m_p;
    const int local = element.prefixLength + 1;
    const bool cell = element.length - local == 1 && element.begin[local] == 'c';
    Attribute r, t;
    bool undeclared = false;
    for (;;) {
        const bool spaced = atSpace();
        skipSpace();
        if (m_p == m_end)
            return false;
        if (*m_p == '>' || *m_p == '/')
            break;
        Attribute a;
        if (!spaced || !attribute(&a))
            return false;
        if (a.isDeclaration()) {
            if (!declare(a))
                return false;
        } else if (a.prefix && !prefixDeclared(a.prefix, a.prefixLength)) {
            undeclared = true;   // perhaps declared further on in this tag
        } else if (cell && (a.named("r") || a.named("t"))) {
            Attribute &known = a.named("r") ? r : t;
            if (known.name)
                return false;
            known = a;
        }
    }
    *selfClosing = *m_p == '/';
    if (!skip(*selfClosing ? "/>" : ">"))
        return false;
    if (undeclared && !prefixesDeclared(first))
        return false;
    startElement(element.begin + local, element.length - local, cell ? &r : nullptr, cell ? &t : nullptr);
    return true;
}

// One name="value" at m_p. Attribute names are taken as loosely as a general reader
// takes them: they name nothing this reader looks for unless they are plain.
bool SheetScanner::attribute(Attribute *a)
{
    if (m_p == m_end || !is(*m_p, AttributeName | Wide) || (*m_p >= '0' && *m_p <= '9') || *m_p == '-' || *m_p == '.')
        return false;
    const char *begin = m_p;
    if (!nameChars(AttributeName))
        return false;
    if (m_p < m_end && *m_p == ':') {
        a->prefix = begin;
        a->prefixLength = int(m_p - begin);
        begin = ++m_p;
        if (!nameChars(AttributeName) || m_p == begin)
            return false;
    }
    a->name = begin;
    a->nameLength = int(m_p - begin);
    skipSpace();
    if (!skip("="))
        return false;
    skipSpace();
    if (m_p == m_end || (*m_p != '"' && *m_p != '\''))
        return false;
    const char quote = *m_p++;
    a->value = m_p;
    for (;;) {
        while (m_p < m_end && is(*m_p, Plain))
            ++m_p;
        if (m_p == m_end)
            return false;
        const char c = *m_p;
        if (c == quote)
            break;
        if (c == '&') {
            a->hasReference = true;
            if (!reference(nullptr))
                return false;
        } else if (quint8(c) >= 0x80) {
            if (!wideChar())
                return false;
        } else if (c == '<' || quint8(c) < 0x20) {
            return false;
        } else {
            ++m_p;
        }
    }
    a->valueLength = int(m_p++ - a->value);
    return true;
}

// Whether every prefix of the tag's attributes is declared, now that the tag's own
// declarations are in.
bool SheetScanner::prefixesDeclared(const char *firstAttribute)
{
    const char *end = m_p;
    bool declared = true;
    for (m_p = firstAttribute, skipSpace(); declared && *m_p != '>' && *m_p != '/'; skipSpace()) {
        Attribute a;
        attribute(&a);
        declared = !a.prefix || a.isDeclaration() || prefixDeclared(a.prefix, a.prefixLength);
    }
    m_p = end;
    return declared;
}

bool SheetScanner::declare(const Attribute &a)
{
    static const char XmlNamespace[] = "http://www.w3.org/XML/1998/namespace";
    if (!a.prefix)
        return true;
    const bool xml = a.nameLength == 3 && std::memcmp(a.name, "xml", 3) == 0;
    if ((a.nameLength == 5 && std::memcmp(a.name, "xmlns", 5) == 0) || a.valueLength == 0
        || (xml && (a.valueLength != int(sizeof XmlNamespace) - 1 || std::memcmp(a.value, XmlNamespace, a.valueLength) != 0)))
        return false;
    if (m_prefixCount == MaxPrefixes)
        return false;
    m_prefixes[m_prefixCount++] = {a.name, a.nameLength};
    return true;
}

bool SheetScanner::prefixDeclared(const char *prefix, int length) const
{
    if (length == 3 && std::memcmp(prefix, "xml", 3) == 0)
        return true;
    for (int i = m_prefixCount - 1; i >= 0; --i) {
        if (m_prefixes[i].length == length && std::memcmp(m_prefixes[i].begin, prefix, length) == 0)
            return true;
    }
    return false;
}

// The end tag of the element open innermost: the same name, then the tag's end.
bool SheetScanner::endTag()
{
    m_p += 2;
    if (m_depth == 0)
        return false;
    const Open &open = m_open[--m_depth];
    const Name &name = open.name;
    if (m_end - m_p <= name.length || std::memcmp(m_p, name.begin, size_t(name.length)) != 0)
        return false;
    m_p += name.length;
    skipSpace();
    if (!skip(">"))
        return false;
    m_prefixCount = open.prefixes;
    const int local = name.prefixLength + 1;
    endElement(name.begin + local, name.length - local);
    return true;
}

// An element name, with or without one prefix, ending where the tag goes on.
bool SheetScanner::qualifiedName(Name *name)
{
    name->begin = m_p;
    for (const char *part = m_p;; part = ++m_p) {
        if (m_p == m_end || !is(*m_p, NameStart | Wide) || !nameChars(NameChar))
            return false;
        if (m_p == m_end || *m_p != ':' || name->prefixLength >= 0)
            break;
        name->prefixLength = int(m_p - part);
    }
    name->length = int(m_p - name->begin);
    return m_p < m_end && (is(*m_p, Space) || *m_p == '>' || *m_p == '/');
}

// Character data up to the next markup, kept only when it is part of a value.
bool SheetScanner::text()
{
    const char *piece = m_p;
    while (m_p < m_end) {
        while (m_p < m_end && is(*m_p, Plain))
            ++m_p;
        if (m_p == m_end)
            break;
        const char c = *m_p;
        if (c == '<') {
            break;
        } else if (c == '&') {
            if (m_inValue)
                appendValue(piece, m_p);
            QByteArray character;
            if (!reference(m_inValue ? &character : nullptr))
                return false;
            if (m_inValue)
                appendValue(character.constData(), character.constData() + character.size());
            piece = m_p;
        } else if (c == ']' && m_end - m_p >= 3 && m_p[1] == ']' && m_p[2] == '>') {
            return false;
        } else if (quint8(c) >= 0x80) {
            if (!wideChar())
                return false;
        } else if (quint8(c) < 0x20) {
            return false;
        } else {
            ++m_p;
        }
    }
    if (m_inValue)
        appendValue(piece, m_p);
    return true;
}

bool SheetScanner::comment()
{
    m_p += 4;
    for (;;) {
        while (m_p < m_end && is(*m_p, Plain))
            ++m_p;
        if (m_p == m_end)
            return false;
        if (*m_p == '-' && m_end - m_p >= 2 && m_p[1] == '-')
            return skip("-->");
        if (quint8(*m_p) >= 0x80 ? !wideChar() : quint8(*m_p++) < 0x20)
            return false;
    }
}

// <?target data?>. Only the declaration at the very start may be named xml. A target
// without data is taken as loosely as a general reader takes it.
bool SheetScanner::processingInstruction()
{
    m_p += 2;
    const char *target = m_p;
    if (m_p == m_end || !is(*m_p, NameStart | Wide) || !nameChars(AttributeName))
        return false;
    if (m_p - target == 3 && QByteArray(target, 3).toLower() == "xml")
        return false;
    if (skip("?>"))
        return true;
    for (const char *p = target; p < m_p; ++p) {
        if (!is(*p, NameChar | Wide))
            return false;
    }
    if (!atSpace())
        return false;
    for (;;) {
        while (m_p < m_end && is(*m_p, Plain))
            ++m_p;
        if (m_p == m_end)
            return false;
        if (skip("?>"))
            return true;
        if (quint8(*m_p) >= 0x80 ? !wideChar() : quint8(*m_p++) < 0x20)
            return false;
    }
}

bool SheetScanner::cdata()
{
    if (!skip("<![CDATA["))
        return false;
    const char *begin = m_p;
    for (;;) {
        while (m_p < m_end && is(*m_p, Plain))
            ++m_p;
        if (m_p == m_end)
            return false;
        if (m_end - m_p >= 3 && std::memcmp(m_p, "]]>", 3) == 0)
            break;
        if (quint8(*m_p) >= 0x80 ? !wideChar() : quint8(*m_p++) < 0x20)
            return false;
    }
    if (m_inValue)
        appendValue(begin, m_p);
    m_p += 3;
    return true;
}

// Past a run of name characters of the given class; false for one that is not UTF-8.
bool SheetScanner::nameChars(quint8 charClass)
{
    for (;;) {
        while (m_p < m_end && is(*m_p, charClass))
            ++m_p;
        if (m_p == m_end || !is(*m_p, Wide))
            return true;
        if (!wideChar())
            return false;
    }
}

void SheetScanner::skipSpace()
{
    while (m_p < m_end && is(*m_p, Space))
        ++m_p;
}

void SheetScanner::startElement(const char *local, int length, const Attribute *r, const Attribute *t)
{
    if (length == 3 && std::memcmp(local, "row", 3) == 0) {
        finishRow();
        m_column = 0;
    } else if (r) {
        // A cell without a reference follows the one before it, as the format allows.
        if (r->valueLength == 0) {
            ++m_column;
        } else {
            const QByteArray reference = r->hasReference ? decoded(*r) : QByteArray();
            m_column = r->hasReference ? columnOf(reference.constData(), reference.size()) : columnOf(r->value, r->valueLength);
        }
        const QByteArray type = t->hasReference ? decoded(*t) : QByteArray();
        m_numeric = t->hasReference ? type.isEmpty() || type == "n" : t->valueLength == 0 || (t->valueLength == 1 && *t->value == 'n');
        m_inCell = true;
    } else if (length == 1 && *local == 'v' && m_inCell) {
        m_inValue = m_numeric && (m_column == ColumnC || m_column == ColumnG || m_column == ColumnK);
        m_valueLength = 0;
    }
}

void SheetScanner::endElement(const char *local, int length)
{
    const bool value = length == 1 && *local == 'v';
    const bool cell = length == 1 && *local == 'c';
    if (value && m_inValue)
        takeValue();
    if (value || cell)
        m_inValue = false;
    if (cell)
        m_inCell = false;
}

// The value's text as a general reader hands it on: every line break as one \n.
void SheetScanner::appendValue(const char *begin, const char *end)
{
    for (const char *p = begin; p < end && m_valueLength <= LongestNumberBytes; ++p) {
        if (*p == '\r' && p + 1 < end && p[1] == '\n')
            ++p;
        m_value[m_valueLength++] = *p == '\r' ? '\n' : *p;
    }
}

void SheetScanner::takeValue()
{
    if (m_valueLength > LongestNumberBytes)
        return;
    const char *begin = m_value.data();
    const char *end = begin + m_valueLength;
    bool ascii = true;
    for (const char *p = begin; p < end; ++p)
        ascii = ascii && quint8(*p) < 0x80;
    std::optional<double> value;
    if (ascii && m_valueLength <= LongestNumber) {
        while (begin < end && is(*begin, Space))
            ++begin;
        while (end > begin && is(end[-1], Space))
            --end;
        value = plainDecimal(begin, end);
    }
    if (!value) {
        const QString text = ascii ? QString::fromLatin1(begin, int(end - begin)) : QString::fromUtf8(begin, int(end - begin));
        bool ok = false;
        const double number = text.size() <= LongestNumber ? text.trimmed().toDouble(&ok) : 0;
        if (ok)
            value = number;
    }
    if (!value || !std::isfinite(*value))
        return;
    std::optional<double> &cell = m_column == ColumnC ? m_row.cp : m_column == ColumnG ? m_row.weight : m_row.z;
    cell = value;
}

void SheetScanner::finishRow()
{
    const SheetRow row = m_row;
    m_row = SheetRow();
    // A point beyond int's range is no calibration point of any pipette.
    if (!row.cp || !row.weight || std::abs(*row.cp) >= 1e9)
        return;
    m_parsed->weights[int(std::lround(*row.cp))].append(*row.weight);
    if (row.z)
        m_parsed->zFactor = *row.z;
}

} // namespace

bool scanMeasurementSheet(const QByteArray &xml, ParsedWorkbook *parsed)
{
    return SheetScanner(xml, parsed).read();
}
