#include "filedialog.h"

IFileDialog::~IFileDialog() = default;

QStringList nameFiltersFromPairs(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList result;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString &description = parts.at(i);
        const QString &pattern = parts.at(i + 1);
        if (description.contains(QLatin1Char('(') + pattern + QLatin1Char(')')))
            result << description;
        else
            result << description + QStringLiteral(" (") + pattern + QLatin1Char(')');
    }
    return result;
}
