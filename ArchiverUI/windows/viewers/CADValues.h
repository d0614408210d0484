// The call attached data of one call as the media player lists it: name,
// value and description of each item, read-only.
#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>

struct TCADItem {
    QString Name;
    QString Value;
    QString Description;
};

class TCADModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TCADModel(QObject* Owner = nullptr);

    void Clear();
    void Append(const QList<TCADItem>& Items);
    const QList<TCADItem>& Items() const { return FItems; }

    int rowCount(const QModelIndex& Parent = {}) const override;
    int columnCount(const QModelIndex& Parent = {}) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation,
                        int Role = Qt::DisplayRole) const override;

private:
    QList<TCADItem> FItems;
};
