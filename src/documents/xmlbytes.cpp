#include "documents/xmlbytes.h"

#include <QString>

namespace XmlBytes {

bool isXmlChar(uint c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
           || (c >= 0x10000 && c <= 0x10FFFF);
}

bool skipWideChar(const char **p, const char *end)
{
    const quint8 lead = quint8(**p);
    const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || end - *p < length)
        return false;
    uint c = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        const quint8 next = quint8((*p)[i]);
        if ((next & 0xC0) != 0x80)
            return false;
        c = c << 6 | (next & 0x3F);
    }
    static constexpr uint Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < Smallest[length] || !isXmlChar(c))
        return false;
    *p += length;
    return true;
}

bool skipReference(const char **p, const char *end, QByteArray *decoded)
{
    static const char *const Entities[][2] = {{"lt;", "<"}, {"gt;", ">"}, {"amp;", "&"}, {"apos;", "'"}, {"quot;", "\""}};
    ++*p;
    if (!skipLiteral(p, end, "#")) {
        for (const auto &entity : Entities) {
            if (skipLiteral(p, end, entity[0])) {
                if (decoded)
                    decoded->append(entity[1]);
                return true;
            }
        }
        return false;
    }
    const bool hex = skipLiteral(p, end, "x");
    const char *digits = *p;
    uint c = 0;
    for (; *p < end && c <= 0x10FFFF; ++*p) {
        const char d = **p;
        const int digit = d >= '0' && d <= '9'           ? d - '0'
                          : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                          : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                        : -1;
        if (digit < 0)
            break;
        c = c * (hex ? 16 : 10) + uint(digit);
    }
    if (*p == digits || !isXmlChar(c) || !skipLiteral(p, end, ";"))
        return false;
    if (decoded)
        decoded->append(QString::fromUcs4(&c, 1).toUtf8());
    return true;
}

QByteArray decodedValue(const char *p, const char *end)
{
    QByteArray value;
    while (p < end) {
        const char *amp = static_cast<const char *>(std::memchr(p, '&', size_t(end - p)));
        value.append(p, int((amp ? amp : end) - p));
        if (!amp)
            break;
        p = amp;
        skipReference(&p, end, &value);
    }
    return value;
}

} // namespace XmlBytes
