#pragma once

#include "filedialog.h"

class QWidget;

class QtFileDialog final : public IFileDialog
{
public:
    QtFileDialog();
    ~QtFileDialog() override;
    void setParentWidget(QWidget *parent);
    void setFilter(const QString &filter) override;
    bool showOpen() override;
    QString fileName() const override;

private:
    QWidget *m_parent = nullptr;
    QStringList m_nameFilters;
    QString m_fileName;
    QString m_lastFolder;
};
