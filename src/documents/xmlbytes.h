#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <cstring>

// XML 1.0 as bytes of UTF-8: which characters may stand where, literal markup, encoded
// characters and references. The sheet scanner reads markup with these without ever
// turning the bytes into text.
namespace XmlBytes {

// Of ASCII characters; every byte of a multi-byte character is Wide.
enum CharClass : quint8 {
    Space = 1,
    NameStart = 2,       // of an element or processing instruction name
    NameChar = 4,
    AttributeName = 8,   // what a general reader takes into an attribute's name
    Plain = 16,          // text with no meaning in markup, content or a value
    Wide = 32,
};

constexpr bool oneOf(int c, const char *set)
{
    for (; *set; ++set) {
        if (c == *set)
            return true;
    }
    return false;
}

constexpr std::array<quint8, 256> charClasses()
{
    std::array<quint8, 256> classes{};
    for (int c = 0; c < 256; ++c) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        quint8 bits = 0;
        if (space)
            bits |= Space;
        if (letter)
            bits |= NameStart | NameChar;
        if ((c >= '0' && c <= '9') || c == '.' || c == '-')
            bits |= NameChar;
        if (c > 0 && c < 0x80 && !space && !oneOf(c, "&#'\"<>[]=%/;?!^|,()+*:"))
            bits |= AttributeName;
        if ((c >= 0x20 && c < 0x80 && !oneOf(c, "<&]\"'-?")) || space)
            bits |= Plain;
        if (c >= 0x80)
            bits |= Wide;
        classes[c] = bits;
    }
    return classes;
}

inline constexpr std::array<quint8, 256> Classes = charClasses();

Q_ALWAYS_INLINE bool is(char c, quint8 bits)
{
    return Classes[quint8(c)] & bits;
}

Q_ALWAYS_INLINE bool skipLiteral(const char **p, const char *end, const char *literal)
{
    const int length = int(std::strlen(literal));
    if (end - *p < length || std::memcmp(*p, literal, length) != 0)
        return false;
    *p += length;
    return true;
}

// Whether XML allows the code point at all.
bool isXmlChar(uint c);
// Past one UTF-8 encoded character at *p of a code point XML allows.
bool skipWideChar(const char **p, const char *end);
// &name; or &#number; at *p, of a character XML allows; *decoded, if given, receives it
// in UTF-8. Without a DTD only the five predefined entities exist.
bool skipReference(const char **p, const char *end, QByteArray *decoded);
// An attribute's value with its references replaced.
QByteArray decodedValue(const char *p, const char *end);

} // namespace XmlBytes
