#pragma once

#include "library/Member.h"
#include "library/Service.h"

#include <QAbstractListModel>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>
#include <string>
#include <vector>

namespace tallymere {

// The services as the window lists them, newest first. The model changes it one row at a time, so
// a view bound to it redraws only the row a run reports progress for.
class ServiceListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The services belong to the application model.")
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        LabelRole,
        DateRole,
        CreatedRole,
        SourcePathsRole,
        LiveSourceRole,
        ModeRole,
        StatusRole,
        ProgressRole,
        MessageRole,
        HasResultsRole,
        PresentRole,
        AbsentRole,
        NeedsReviewRole,
        VisitorsRole,
    };
    Q_ENUM(Role)

    explicit ServiceListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const std::vector<Service>& records() const { return services; }
    // The id of the service in `row`, "" when there is none.
    Q_INVOKABLE QString idAt(int row) const;
    // The row of the first service with that id, or -1.
    int indexOf(const std::string& id) const;
    // The service in `row` as the screens read it: its fields, and its register as corrected by
    // the operator (named by `members`) under "results" when it has one; empty for a row that is
    // not there.
    QVariantMap toMap(int row, const std::vector<Member>& members) const;

    void reset(std::vector<Service> all);
    void prepend(Service service);
    // Replaces the record in `row` and tells the views that this one row changed.
    void replace(int row, Service service);
    void removeAt(int row);

Q_SIGNALS:
    void countChanged();

private:
    std::vector<Service> services;
};

} // namespace tallymere
