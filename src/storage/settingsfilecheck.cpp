#include "storage/settingsfilecheck.h"

#include "storage/wholefile.h"

#include <QDataStream>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSettings>

#include <algorithm>
#include <cstring>

namespace {

// ---- Walking one encoded value

// Reads an encoded variant the way QDataStream would, but checks every count against
// the bytes that are actually there before anything is sized by it.
class EncodedValue
{
public:
    EncodedValue(const QByteArray &bytes, int version) : m_bytes(bytes), m_version(version) {}

    bool check() { return variant(0); }

private:
    qint64 left() const { return m_bytes.size() - m_pos; }

    bool skip(qint64 n)
    {
        if (n < 0 || n > left())
            return false;
        m_pos += int(n);
        return true;
    }

    bool u32(quint32 *value)
    {
        if (left() < 4)
            return false;
        const auto *p = reinterpret_cast<const uchar *>(m_bytes.constData() + m_pos);
        *value = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3];
        m_pos += 4;
        return true;
    }

    bool i8(qint8 *value)
    {
        if (left() < 1)
            return false;
        *value = qint8(m_bytes.at(m_pos++));
        return true;
    }

    // A count of entries, each at least `least` bytes long: beyond what is left, the
    // decoder would size a container for entries that cannot be there.
    bool count(quint32 *n, qint64 least)
    {
        return u32(n) && qint64(*n) * least <= left();
    }

    bool string()
    {
        quint32 length = 0;
        if (!u32(&length))
            return false;
        if (length == 0xFFFFFFFFu)
            return true;
        return length % 2 == 0 && skip(length);
    }

    bool bytes()
    {
        quint32 length = 0;
        if (!u32(&length))
            return false;
        return length == 0xFFFFFFFFu || skip(length);
    }

    bool date() { return skip(m_version >= QDataStream::Qt_5_0 ? 8 : 4); }

    bool dateTime()
    {
        qint8 timeSpec = 0;
        if (!date() || !skip(4) || !i8(&timeSpec))
            return false;
        if (m_version < QDataStream::Qt_5_2)
            return true;
        switch (timeSpec) {
        case Qt::LocalTime:
        case Qt::UTC:
            return true;
        case Qt::OffsetFromUTC:
            return skip(4);
        case Qt::TimeZone:
            return timeZone();
        default:
            return false;
        }
    }

    bool timeZone()
    {
        const int start = m_pos;
        quint32 length = 0;
        if (!u32(&length) || length == 0xFFFFFFFFu || length % 2 != 0 || !skip(length))
            return false;
        // An offset zone carries its offset, names, country and comment after the id.
        const QByteArray offsetId("\0O\0f\0f\0s\0e\0t\0F\0r\0o\0m\0U\0t\0c", 26);
        if (m_bytes.mid(start + 4, int(length)) != offsetId)
            return true;
        return skip(4) && string() && string() && skip(4) && string();
    }

    bool variant(int depth)
    {
        if (depth > SettingsFileCheck::MaxNesting)
            return false;
        quint32 type = 0;
        if (!u32(&type))
            return false;
        qint8 isNull = 0;
        if (m_version >= QDataStream::Qt_4_2 && !i8(&isNull))
            return false;
        quint32 n = 0;
        switch (type) {
        case QMetaType::Bool:
            return skip(1);
        case QMetaType::Int:
        case QMetaType::UInt:
            return skip(4);
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
            return skip(8);
        case QMetaType::QString:
            return string();
        case QMetaType::QByteArray:
            return bytes();
        case QMetaType::QDate:
            return date();
        case QMetaType::QTime:
            return skip(4);
        case QMetaType::QDateTime:
            return dateTime();
        case QMetaType::QStringList:
            if (!count(&n, 4))
                return false;
            for (quint32 i = 0; i < n; ++i) {
                if (!string())
                    return false;
            }
            return true;
        case QMetaType::QVariantList:
            if (!count(&n, 4))
                return false;
            for (quint32 i = 0; i < n; ++i) {
                if (!variant(depth + 1))
                    return false;
            }
            return true;
        case QMetaType::QVariantMap:
            if (!count(&n, 8))
                return false;
            for (quint32 i = 0; i < n; ++i) {
                if (!string() || !variant(depth + 1))
                    return false;
            }
            return true;
        default:
            // Nothing of this program stores other kinds; an unknown kind is damage, and
            // some kinds' own decoders trust their counts just the same.
            return false;
        }
    }

    const QByteArray &m_bytes;
    const int m_version;
    int m_pos = 0;
};

// ---- Reading the file as the settings layer reads it

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One logical line of an INI file: quoted text and an escaped line end continue it, and a
// ';' outside quotes ends it. Returns false at the end of the data.
bool readLine(const QByteArray &data, int &pos, int &start, int &length, int &equals)
{
    const char *p = data.constData();
    const int size = data.size();
    bool inQuotes = false;
    equals = -1;
    start = pos;
    while (start < size && isSpace(p[start]))
        ++start;
    int i = start;
    while (i < size) {
        const char c = p[i++];
        if (c == '=') {
            if (!inQuotes && equals == -1)
                equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char escaped = p[i++];
                if (i < size) {
                    const char next = p[i];
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == ';') {
            if (i == start + 1) {
                while (i < size && p[i] != '\n' && p[i] != '\r')
                    ++i;
                while (i < size && isSpace(p[i]))
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    length = i - start;
    return length > 0;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The texts of one value, unescaped as the settings layer does it: one text, or the
// parts of a list written with commas. Only the code units matter here, so each is kept
// as one byte where it fits (the variant payloads are Latin-1 by construction) and as
// '?' otherwise, as the settings layer's own conversion does.
QList<QByteArray> valueTexts(const QByteArray &data, int from, int to)
{
    static const char escapes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},
                                      {'r', '\r'}, {'t', '\t'}, {'v', '\v'}, {'"', '"'},
                                      {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    const char *p = data.constData();
    QList<QByteArray> parts;
    // Unescaping never lengthens the text: one buffer of the raw length holds any part.
    QByteArray buffer(to - from, Qt::Uninitialized);
    char *const out = buffer.data();
    int n = 0;
    bool inQuotes = false;
    bool quoted = false;
    int keepUpTo = 0;
    const auto chopSpaces = [&] {
        if (quoted)
            return;
        while (n > keepUpTo && (out[n - 1] == ' ' || out[n - 1] == '\t'))
            --n;
    };
    const auto putCode = [&](int code) { out[n++] = code < 256 ? char(code) : '?'; };
    int i = from;
    const auto skipSpaces = [&] {
        while (i < to && (p[i] == ' ' || p[i] == '\t'))
            ++i;
    };
    skipSpaces();
    while (i < to) {
        const char c = p[i];
        if (c == '\\') {
            if (++i >= to)
                break;
            const char e = p[i++];
            bool simple = false;
            for (const auto &escape : escapes) {
                if (e == escape[0]) {
                    out[n++] = escape[1];
                    simple = true;
                    break;
                }
            }
            if (simple) {
                // An escaped blank is kept, not trimmed away as trailing space.
                keepUpTo = n;
                continue;
            }
            if (e == 'x') {
                if (i < to && hexValue(p[i]) >= 0) {
                    // Only the low 16 bits survive, however many digits there are.
                    quint32 code = 0;
                    while (i < to && hexValue(p[i]) >= 0)
                        code = (code << 4) + quint32(hexValue(p[i++]));
                    putCode(int(code & 0xFFFF));
                }
            } else if (e >= '0' && e <= '7') {
                quint32 code = quint32(e - '0');
                while (i < to && p[i] >= '0' && p[i] <= '7')
                    code = (code << 3) + quint32(p[i++] - '0');
                putCode(int(code & 0xFFFF));
            } else if (e == '\n' || e == '\r') {
                if (i < to && (p[i] == '\n' || p[i] == '\r') && p[i] != e)
                    ++i;
            }
            keepUpTo = n;
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipSpaces();
        } else if (c == ',' && !inQuotes) {
            chopSpaces();
            parts.append(QByteArray(out, n));
            n = 0;
            quoted = false;
            keepUpTo = 0;
            ++i;
            skipSpaces();
        } else {
            int j = i + 1;
            while (j < to && p[j] != '\\' && p[j] != '"' && p[j] != ',')
                ++j;
            memcpy(out + n, p + i, size_t(j - i));
            n += j - i;
            i = j;
        }
    }
    chopSpaces();
    parts.append(QByteArray(out, n));
    return parts;
}

// Whether the settings layer can decode one text of a value without harm.
bool safeText(const QByteArray &text)
{
    if (!text.startsWith('@') || !text.endsWith(')'))
        return true;
    int version = 0;
    int offset = 0;
    if (text.startsWith("@Variant(")) {
        version = QDataStream::Qt_4_0;
        offset = 9;
    } else if (text.startsWith("@DateTime(")) {
        version = QDataStream::Qt_5_6;
        offset = 10;
    } else {
        return true;
    }
    if (text.size() - offset > SettingsFileCheck::MaxValueBytes)
        return false;
    return SettingsFileCheck::isSafeEncoding(text.mid(offset, text.size() - offset - 1), version);
}

QString stampOf(const QFileInfo &info)
{
    return QString::number(info.size()) + QLatin1Char('@')
           + QString::number(info.lastModified().toMSecsSinceEpoch());
}

QMutex s_checkedLock;
QHash<QString, QString> s_checked;

bool appendAside(const QString &path, const QByteArray &lines)
{
    QFile aside(path + QStringLiteral(".damaged"));
    if (!aside.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    return aside.write(lines) == lines.size() && aside.flush();
}

} // namespace

QList<int> SettingsFileCheck::arrayIndices(QSettings &settings)
{
    QList<int> indices;
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups) {
        bool ok = false;
        const int index = group.toInt(&ok);
        if (ok && index > 0 && QString::number(index) == group)
            indices.append(index);
    }
    std::sort(indices.begin(), indices.end());
    return indices;
}

bool SettingsFileCheck::isSafeEncoding(const QByteArray &bytes, int streamVersion)
{
    return bytes.size() <= MaxValueBytes && EncodedValue(bytes, streamVersion).check();
}

bool SettingsFileCheck::isStorable(const QVariant &value)
{
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_4_0);
        out << value;
    }
    return isSafeEncoding(bytes, QDataStream::Qt_4_0);
}

int SettingsFileCheck::setAsideDamagedValues(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return 0;
    QMutexLocker locker(&s_checkedLock);
    const QString stamp = stampOf(info);
    if (s_checked.value(path) == stamp)
        return 0;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Unreadable for us is unreadable for the settings layer: nothing to decode.
        return 0;
    }
    const QByteArray data = file.readAll();
    file.close();

    QByteArray kept;
    QByteArray aside;
    int keptFrom = 0;
    int pos = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    int start = 0;
    int length = 0;
    int equals = 0;
    int damaged = 0;
    while (readLine(data, pos, start, length, equals)) {
        if (equals < 0 || data.at(start) == '[')
            continue;
        bool safe = true;
        const QList<QByteArray> texts = valueTexts(data, equals + 1, start + length);
        for (const QByteArray &text : texts)
            safe = safe && safeText(text);
        if (safe)
            continue;
        ++damaged;
        const QByteArray line = data.mid(start, length);
        qWarning().noquote() << "Settings: a damaged value was set aside from" << path << "-"
                             << QString::fromUtf8(data.mid(start, equals - start)).trimmed();
        aside += "; " + QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toUtf8()
                 + " from " + path.toUtf8() + "\n" + line + "\n";
        kept += data.mid(keptFrom, start - keptFrom);
        keptFrom = start + length;
    }
    if (damaged == 0) {
        s_checked.insert(path, stamp);
        return 0;
    }
    kept += data.mid(keptFrom);
    // The value is kept aside before it leaves the store, so that it is never only gone.
    if (!appendAside(path, aside) || WholeFile::write(path, kept) != WholeFile::Written) {
        qWarning().noquote() << "Settings: could not set the damaged values of" << path << "aside";
        return -1;
    }
    s_checked.insert(path, stampOf(QFileInfo(path)));
    return damaged;
}
