#pragma once

#include <QString>
#include <QStringList>

// The file-open dialog as the handlers use it: a filter, a modal show, the name read back.
class IFileDialog
{
public:
    virtual ~IFileDialog();
    // Filter in "description|pattern|description|pattern" form.
    virtual void setFilter(const QString &filter) = 0;
    // Modal; true when the user confirmed a name, false on cancel.
    virtual bool showOpen() = 0;
    // The full path last confirmed; unchanged by a cancel, empty before any choice.
    virtual QString fileName() const = 0;
};

// "(*.wav)|*.wav" becomes the one Qt name filter "(*.wav)"; a description that does not
// already show its pattern gets it appended, as Qt needs the pattern in parentheses.
QStringList nameFiltersFromPairs(const QString &filter);
