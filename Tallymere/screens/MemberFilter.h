#pragma once

#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

namespace tallymere {

// The members that pass the members page's search: every member for an empty query, otherwise
// those whose name or id contains the query ignoring case; with `onlyListed`, only those among
// `listed` as well (the page's "Away"). A proxy, so the grid keeps recycling its delegates and
// rows still change in place.
class MemberFilter : public QSortFilterProxyModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(bool onlyListed READ onlyListed WRITE setOnlyListed NOTIFY listedChanged)
    Q_PROPERTY(QStringList listed READ listed WRITE setListed NOTIFY listedChanged)

public:
    explicit MemberFilter(QObject* parent = nullptr);

    QString query() const { return query_; }
    void setQuery(const QString& query);
    int count() const { return rowCount(); }
    bool onlyListed() const { return onlyListed_; }
    void setOnlyListed(bool only);
    QStringList listed() const { return listed_; }
    void setListed(const QStringList& ids);

    // Whether a member with that name and id passes `query`.
    Q_INVOKABLE static bool matches(const QString& name, const QString& id, const QString& query);

Q_SIGNALS:
    void queryChanged();
    void countChanged();
    void listedChanged();

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

private:
    QString query_;
    bool onlyListed_ = false;
    QStringList listed_;
};

} // namespace tallymere
