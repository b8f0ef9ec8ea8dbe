#include "CommandLineOptions.h"

#include <QSet>
#include <cmath>

namespace tallymere {

namespace {

const QSet<QString> sections{"home", "services", "members"};
const QSet<QString> tabs{"present", "review", "absent", "visitors"};

} // namespace

std::optional<QString> CommandLineOptions::valueOf(const QStringList& arguments,
                                                   const QString& option) {
    const qsizetype at = arguments.indexOf(option);
    if (at < 0 || at + 1 >= arguments.size()) return std::nullopt;
    return arguments[at + 1];
}

CommandLineOptions::CommandLineOptions(const QStringList& arguments, QObject* parent)
    : QObject(parent) {
    takeAttendance_ = valueOf(arguments, "--take-attendance");
    if (auto value = valueOf(arguments, "--section"); value && sections.contains(*value))
        section_ = *value;
    openService_ = valueOf(arguments, "--open-service").value_or(QString());
    newService_ = arguments.contains("--new-service");
    if (auto value = valueOf(arguments, "--live-stream")) {
        // A stream address needs at least a scheme; a bare word is not one.
        const QUrl url(*value, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty()) liveStream_ = url;
    }
    openMember_ = valueOf(arguments, "--open-member").value_or(QString());
    if (auto value = valueOf(arguments, "--live-stop-after")) {
        bool ok = false;
        const double seconds = value->toDouble(&ok);
        // A wait of no finite length, or of negative length, is not a number of seconds.
        if (ok && std::isfinite(seconds) && seconds >= 0) liveStopAfter_ = seconds;
    }
    tab_ = valueOf(arguments, "--tab").value_or(QString());
}

bool CommandLineOptions::tabKnown() const {
    return tabs.contains(tab_);
}

QVariantList CommandLineOptions::windowActions(const QString& firstServiceID) const {
    QVariantList actions;
    if (!section_.isEmpty())
        actions.append(QVariantMap{{"action", "section"}, {"value", section_}});
    if (!openService_.isEmpty()) {
        const QString id = openService_ == "latest" ? firstServiceID : openService_;
        if (!id.isEmpty()) actions.append(QVariantMap{{"action", "openService"}, {"value", id}});
    }
    if (newService_) actions.append(QVariantMap{{"action", "newService"}});
    if (!liveStream_.isEmpty())
        actions.append(QVariantMap{{"action", "liveStream"}, {"value", liveStream_}});
    if (!openMember_.isEmpty())
        actions.append(QVariantMap{{"action", "openMember"}, {"value", openMember_}});
    return actions;
}

} // namespace tallymere
