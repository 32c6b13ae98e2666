#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QVariantMap>

class Command;
class CsvGenerator;
class ProtocolLibrary;
class SplGenerator;
class SplParser;
class Validator;

// Methods as they live outside the editor: an instrument's CSV, an SPL text, a library
// method. Read-only conversions and comparisons between them, plus the import of an
// instrument's CSV into the library; the editor's own method is not touched. The
// generators, reader and validator are the editor's, lent for its lifetime.
class MethodExchange
{
public:
    MethodExchange(const Validator *validator, const SplParser *splParser, const SplGenerator *splGenerator,
                   const CsvGenerator *csvGenerator);

    void setLibrary(ProtocolLibrary *library) { m_library = library; }

    QString csvOf(const QList<Command *> &commands) const;
    QVariantMap previewCsvData(const QByteArray &data) const;
    QVariantMap splToDeviceCsv(const QByteArray &splText) const;
    // The new library id, or empty; `refused` receives the CSV reader's refusal, if any.
    QString importCsvDataToLibrary(const QByteArray &data, const QString &name, QString *refused) const;
    bool libraryCsvMatchesDevice(const QString &libraryId, const QByteArray &deviceCsv) const;
    QByteArray csvForLibraryProtocol(const QString &libraryId) const;

    // The text after the SPL header line, for previews that show the steps only.
    static QString stepsOnly(const QString &spl);

private:
    QList<Command *> commandsFromLibrary(const QString &libraryId, bool *found) const;

    const Validator *m_validator;
    const SplParser *m_splParser;
    const SplGenerator *m_splGenerator;
    const CsvGenerator *m_csvGenerator;
    QPointer<ProtocolLibrary> m_library;
};
