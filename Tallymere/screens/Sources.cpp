#include "Sources.h"

#include "library/Library.h"
#include "library/ProcessSettings.h"
#include "runs/LiveSourceKind.h"

#include <QFileInfo>

namespace tallymere {

namespace {

std::optional<ProcessSettings::Mode> modeOf(const QString& raw) {
    return ProcessSettings::Mode::fromRawValue(raw.toStdString());
}

QString filterOf(const std::set<std::string, std::less<>>& extensions) {
    QStringList patterns;
    for (const auto& extension : extensions)
        patterns << QStringLiteral("*.") + QString::fromStdString(extension);
    return patterns.join(u' ');
}

} // namespace

QList<QUrl> Sources::acceptedFiles(const QList<QUrl>& urls) {
    QList<QUrl> accepted;
    for (const auto& url : urls) {
        if (!url.isLocalFile()) continue;
        const std::string extension = QFileInfo(url.toLocalFile()).suffix().toLower().toStdString();
        if (Library::videoExtensions().contains(extension) ||
            Library::imageExtensions().contains(extension))
            accepted << url;
    }
    return accepted;
}

QStringList Sources::paths(const QList<QUrl>& urls) {
    QStringList result;
    for (const auto& url : urls)
        if (url.isLocalFile()) result << url.toLocalFile();
    return result;
}

QString Sources::recordingFilter() {
    return QStringLiteral("Recordings and photos (") + filterOf(Library::videoExtensions()) + u' ' +
           filterOf(Library::imageExtensions()) + u')';
}

QString Sources::photoFilter() {
    return QStringLiteral("Photos (") + filterOf(Library::imageExtensions()) + u')';
}

bool Sources::isStreamAddress(const QString& text) {
    return tallymere::isStreamAddress(text.toStdString(), StreamAddressRule::window);
}

bool Sources::canStart(const QString& kind, int recognisable, const QString& label, int fileCount,
                       const QString& cameraID, const QString& streamURL) {
    if (recognisable < 1 || trimmed(label).isEmpty()) return false;
    if (kind == QStringLiteral("video")) return fileCount > 0;
    if (kind == QStringLiteral("camera")) return !cameraID.isEmpty();
    if (kind == QStringLiteral("stream")) return isStreamAddress(streamURL);
    return false;
}

QStringList Sources::modes() {
    QStringList result;
    for (const auto mode : ProcessSettings::Mode::allCases)
        result << QString::fromUtf8(mode.rawValue().data(), qsizetype(mode.rawValue().size()));
    return result;
}

QString Sources::modeTitle(const QString& mode) {
    const auto known = modeOf(mode);
    if (!known) return {};
    const auto title = known->title();
    return QString::fromUtf8(title.data(), qsizetype(title.size()));
}

QString Sources::modeDetail(const QString& mode) {
    const auto known = modeOf(mode);
    if (!known) return {};
    const auto detail = known->detail();
    return QString::fromUtf8(detail.data(), qsizetype(detail.size()));
}

QString Sources::trimmed(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace tallymere
