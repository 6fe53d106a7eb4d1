#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The file-open dialog as the handlers use it: a filter, a show that answers later, the
// name read back.
class IFileDialog
{
public:
    using Done = std::function<void(bool chosen)>;

    virtual ~IFileDialog();
    // Filter in "description|pattern|description|pattern" form.
    virtual void setFilter(const QString &filter) = 0;
    // Shows the dialog, modal for the window while it is on screen; `done` runs later on
    // the window's thread, never inside the call: true when the user confirmed a name,
    // false on cancel or when the dialog could not be had (the failure listener says
    // why). A show asked for while one is under way is ignored.
    virtual void showOpen(Done done) = 0;
    // The full path last confirmed; unchanged by a cancel, empty before any choice.
    virtual QString fileName() const = 0;
    // Takes down a dialog that is up or on its way; its `done` is never called.
    virtual void cancel() = 0;
    // Told, on the window's thread, why a dialog could not be had.
    virtual void setFailureListener(std::function<void(const QString &reason)> listener) = 0;
};

// "(*.wav)|*.wav" becomes the one Qt name filter "(*.wav)"; a description that does not
// already show its pattern gets it appended, as Qt needs the pattern in parentheses.
QStringList nameFiltersFromPairs(const QString &filter);
