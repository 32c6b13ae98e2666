#pragma once

#include <QString>
#include <QStringList>

// What poppler-utils read from a PDF: its pages and page size, its metadata, whether every
// font is embedded, its text, and every word that falls outside the page's margins.
struct PdfCheck
{
    explicit PdfCheck(const QString &path, double marginPoints);
    PdfCheck(const QString &path, double sideMarginPoints, double topBottomMarginPoints);

    bool readable = false;
    int pages = 0;
    QString pageSize;       // as pdfinfo says it, e.g. "612 x 792 pts (letter)"
    QString title;
    QString creator;
    QStringList fonts;      // every font's name
    QStringList notEmbedded;
    QString text;           // pdftotext -layout
    QStringList outside;    // words whose box leaves the margins
};
