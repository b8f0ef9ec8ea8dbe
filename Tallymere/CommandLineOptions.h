#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>
#include <optional>
#include <string>
#include <vector>

namespace tallymere {

class Service;

// The options the application takes on its command line. Arguments are matched exactly; for each
// option only its first occurrence counts, and an option that needs a value and is last on the
// line is ignored. Values that the option does not accept are dropped here, so the window acts on
// what is left without checking again.
class CommandLineOptions : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The options are read once, at start-up.")
    // "home", "services" or "members"; "" when absent or any other word.
    Q_PROPERTY(QString section READ section CONSTANT)
    // A service id or "latest"; "" when absent.
    Q_PROPERTY(QString openService READ openService CONSTANT)
    Q_PROPERTY(bool newService READ newService CONSTANT)
    // The stream address when the value parses as a URL; empty otherwise.
    Q_PROPERTY(QUrl liveStream READ liveStream CONSTANT)
    Q_PROPERTY(QString openMember READ openMember CONSTANT)
    // Seconds after which the live page stops and saves; negative when absent or not a number.
    Q_PROPERTY(double liveStopAfter READ liveStopAfterSeconds CONSTANT)
    Q_PROPERTY(bool hasLiveStopAfter READ hasLiveStopAfter CONSTANT)
    // The value of "--tab" as given ("" when absent); `tabKnown` says whether it names a tab.
    Q_PROPERTY(QString tab READ tab CONSTANT)
    Q_PROPERTY(bool tabKnown READ tabKnown CONSTANT)

public:
    // `arguments` without the program's own name.
    explicit CommandLineOptions(const QStringList& arguments = {}, QObject* parent = nullptr);

    // The file given to "--take-attendance", acted on by the model at start-up.
    const std::optional<QString>& takeAttendance() const { return takeAttendance_; }

    QString section() const { return section_; }
    QString openService() const { return openService_; }
    bool newService() const { return newService_; }
    QUrl liveStream() const { return liveStream_; }
    QString openMember() const { return openMember_; }
    std::optional<double> liveStopAfter() const { return liveStopAfter_; }
    double liveStopAfterSeconds() const { return liveStopAfter_.value_or(-1); }
    bool hasLiveStopAfter() const { return liveStopAfter_.has_value(); }
    QString tab() const { return tab_; }
    bool tabKnown() const;

    // What the main window does when it is first shown, in order: each entry is {"action": ...}
    // with "section" (value), "openService" (id, after "latest" is resolved against
    // `firstServiceID`), "newService", "liveStream" (url) or "openMember" (id).
    Q_INVOKABLE QVariantList windowActions(const QString& firstServiceID) const;

    // The value after the first occurrence of `option`, if one follows it.
    static std::optional<QString> valueOf(const QStringList& arguments, const QString& option);

private:
    std::optional<QString> takeAttendance_;
    QString section_;
    QString openService_;
    bool newService_ = false;
    QUrl liveStream_;
    QString openMember_;
    std::optional<double> liveStopAfter_;
    QString tab_;
};

} // namespace tallymere
