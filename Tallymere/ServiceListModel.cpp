#include "ServiceListModel.h"

#include "QtDate.h"
#include "library/Library.h"
#include "library/Register.h"

#include <QDateTime>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <chrono>

namespace tallymere {

namespace {

QVariant optionalSeconds(const std::optional<double>& seconds) {
    return seconds ? QVariant(*seconds) : QVariant();
}

// The register as the screens show it: the operator's corrections applied.
QVariantMap resultsMap(const Service& service, const std::vector<Member>& members) {
    const ServiceResults& results = *service.results;
    const Register shown = correctedRegister(service, members);
    QVariantList lines;
    for (const RegisterLine& line : shown.lines) {
        const MemberResult& m = line.result;
        QVariantMap map{
            {"memberID", QString::fromStdString(m.memberID)},
            {"present", m.present},
            {"confidence", line.confidence ? QVariant(*line.confidence) : QVariant()},
            {"firstSeen", optionalSeconds(m.firstSeen)},
            {"lastSeen", optionalSeconds(m.lastSeen)},
            {"firstSeenText", QString::fromStdString(formatClock(m.firstSeen))},
            {"lastSeenText", QString::fromStdString(formatClock(m.lastSeen))},
            {"sightings", m.sightings},
            {"needsReview", m.needsReview},
            {"reviewReason", QString::fromStdString(m.reviewReason)},
            {"evidenceFile", m.evidenceFile ? QString::fromStdString(*m.evidenceFile) : QString()},
            {"decision",
             line.correction ? QString(decisionName(line.correction->decision)) : QString()}};
        if (line.correction) map.insert("decided", toQDateTime(line.correction->decided));
        lines.append(map);
    }
    QVariantList visitors;
    for (const Visitor& v : shown.visitors)
        visitors.append(QVariantMap{{"id", QString::fromStdString(v.id)},
                                    {"imageFile", QString::fromStdString(v.imageFile)},
                                    {"firstSeen", v.firstSeen},
                                    {"sightings", v.sightings}});
    return {{"members", lines},
            {"visitors", visitors},
            {"present", shown.present()},
            {"absent", shown.absent()},
            {"needsReview", shown.needsReview()},
            {"corrected", !service.corrections.empty()},
            {"framesAnalysed", results.framesAnalysed},
            {"durationSeconds", results.durationSeconds},
            {"processingSeconds", results.processingSeconds},
            {"membersEnrolled", results.membersEnrolled},
            {"model", QString::fromStdString(results.model)}};
}

} // namespace

ServiceListModel::ServiceListModel(QObject* parent) : QAbstractListModel(parent) {}

int ServiceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(services.size());
}

QVariant ServiceListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) return {};
    const Service& s = services[static_cast<std::size_t>(index.row())];
    switch (role) {
    case IdRole:
        return QString::fromStdString(s.id);
    case Qt::DisplayRole:
    case LabelRole:
        return QString::fromStdString(s.label);
    case DateRole:
        return toQDateTime(s.date);
    case CreatedRole:
        return toQDateTime(s.created);
    case SourcePathsRole: {
        QStringList paths;
        for (const auto& path : s.sourcePaths)
            paths << QString::fromStdString(path);
        return paths;
    }
    case LiveSourceRole:
        return s.liveSource ? QString::fromStdString(*s.liveSource) : QString();
    case ModeRole:
        return QString::fromUtf8(s.mode.rawValue());
    case StatusRole:
        return QString::fromUtf8(s.status.rawValue());
    case ProgressRole:
        return s.progress;
    case MessageRole:
        return QString::fromStdString(s.message);
    case HasResultsRole:
        return s.results.has_value();
    case PresentRole:
        return correctedRegister(s, {}).present();
    case AbsentRole:
        return correctedRegister(s, {}).absent();
    case NeedsReviewRole:
        return correctedRegister(s, {}).needsReview();
    case VisitorsRole:
        return static_cast<int>(correctedRegister(s, {}).visitors.size());
    default:
        return {};
    }
}

QHash<int, QByteArray> ServiceListModel::roleNames() const {
    return {{IdRole, "serviceID"},
            {LabelRole, "label"},
            {DateRole, "date"},
            {CreatedRole, "created"},
            {SourcePathsRole, "sourcePaths"},
            {LiveSourceRole, "liveSource"},
            {ModeRole, "mode"},
            {StatusRole, "status"},
            {ProgressRole, "progress"},
            {MessageRole, "message"},
            {HasResultsRole, "hasResults"},
            {PresentRole, "present"},
            {AbsentRole, "absent"},
            {NeedsReviewRole, "needsReview"},
            {VisitorsRole, "visitors"}};
}

QString ServiceListModel::idAt(int row) const {
    if (row < 0 || row >= rowCount()) return {};
    return QString::fromStdString(services[static_cast<std::size_t>(row)].id);
}

int ServiceListModel::indexOf(const std::string& id) const {
    for (std::size_t i = 0; i < services.size(); ++i)
        if (services[i].id == id) return static_cast<int>(i);
    return -1;
}

void ServiceListModel::reset(std::vector<Service> all) {
    beginResetModel();
    services = std::move(all);
    endResetModel();
    Q_EMIT countChanged();
}

void ServiceListModel::prepend(Service service) {
    beginInsertRows({}, 0, 0);
    services.insert(services.begin(), std::move(service));
    endInsertRows();
    Q_EMIT countChanged();
}

void ServiceListModel::replace(int row, Service service) {
    if (row < 0 || row >= rowCount()) return;
    services[static_cast<std::size_t>(row)] = std::move(service);
    const QModelIndex changed = index(row);
    Q_EMIT dataChanged(changed, changed);
}

void ServiceListModel::removeAt(int row) {
    if (row < 0 || row >= rowCount()) return;
    beginRemoveRows({}, row, row);
    services.erase(services.begin() + row);
    endRemoveRows();
    Q_EMIT countChanged();
}

QVariantMap ServiceListModel::toMap(int row, const std::vector<Member>& members) const {
    if (row < 0 || row >= rowCount()) return {};
    const Service* s = &services[static_cast<std::size_t>(row)];
    QStringList paths;
    for (const auto& path : s->sourcePaths)
        paths << QString::fromStdString(path);
    QVariantMap map{
        {"serviceID", QString::fromStdString(s->id)},
        {"label", QString::fromStdString(s->label)},
        {"date", toQDateTime(s->date)},
        {"created", toQDateTime(s->created)},
        {"sourcePaths", paths},
        {"liveSource", s->liveSource ? QString::fromStdString(*s->liveSource) : QString()},
        {"mode", QString::fromUtf8(s->mode.rawValue())},
        {"status", QString::fromUtf8(s->status.rawValue())},
        {"progress", s->progress},
        {"message", QString::fromStdString(s->message)},
        {"hasResults", s->results.has_value()}};
    if (s->results) map.insert("results", resultsMap(*s, members));
    return map;
}

} // namespace tallymere
