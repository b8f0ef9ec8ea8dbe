#include "AppModel.h"

#include "ImageCache.h"
#include "LiveSession.h"
#include "engine/FaceEngine.h"
#include "library/AtomicFile.h"
#include "library/Library.h"
#include "library/LibraryError.h"
#include "library/Register.h"
#include "library/Report.h"
#include "recognition/Enroller.h"
#include "runs/ServiceProcessor.h"

#include <QQmlEngine>
#include <QThread>
#include <algorithm>
#include <chrono>

namespace tallymere {

namespace fs = std::filesystem;

namespace {

QStringList toStringList(const auto& texts) {
    QStringList list;
    for (const std::string& text : texts)
        list << QString::fromStdString(text);
    return list;
}

} // namespace

// ---- Start-up

AppModel::AppModel(Options options, QObject* parent)
    : QObject(parent), config(std::move(options)),
      library_(std::make_shared<OpenLibrary>(config.root)),
      hold_(config.root, config.lockPollMilliseconds), options_(config.arguments),
      members_(QString::fromStdString(library_->library().root().string())),
      attendance_(services_, members_, QString::fromStdString(library_->library().root().string()),
                  config.settingsFile),
      engine_(config.modelsDirectory, pool_), queue_(*this, engine_, pool_),
      checks_(engine_, pool_, library_) {
    // Engine loading, one run and any number of enrolment checks may run side by side.
    pool_.setMaxThreadCount(std::max(4, QThread::idealThreadCount()));
    connect(&members_, &MemberListModel::countChanged, this, &AppModel::membersChanged);
    connect(&hold_, &LibraryHold::changed, this, &AppModel::libraryAccessChanged);
    connect(&hold_, &LibraryHold::taken, this, &AppModel::openWritable);
    connect(&engine_, &EngineLoader::changed, this, [this] {
        if (engine_.error()) showNotice(QString::fromStdString(*engine_.error()));
        shownPrecision_ = enginePrecision();
        Q_EMIT engineChanged();
    });
    connect(&queue_, &ProcessingQueue::activeChanged, this, &AppModel::activeServiceIDChanged);
    // A run or live session may measure the recogniser's 8-bit scales and switch its precision.
    connect(&queue_, &ProcessingQueue::activeChanged, this, &AppModel::refreshEnginePrecision);
    connect(&queue_, &ProcessingQueue::attendanceReady, this, &AppModel::attendanceReady);
    connect(&checks_, &MemberChecks::checked, this, &AppModel::mergeChecked);
    connect(&checks_, &MemberChecks::checkingChanged, this,
            [this](const std::string& id, bool checking) {
                members_.setChecking(id, checking);
                Q_EMIT checkingMembersChanged();
                Q_EMIT membersChanged(); // needsAttention leaves out members being checked
            });

    // Reading is always allowed: the window shows the library while it waits for the lock.
    loadMembers();
    hold_.start();
}

AppModel::~AppModel() {
    // Live sessions stop (writing nothing) while the model they use is still whole.
    for (LiveSession* session : findChildren<LiveSession*>(Qt::FindDirectChildrenOnly))
        delete session;
    // Nothing is flushed: a run still going stops at its next frame and its result is dropped;
    // the next start finds the service interrupted. Engine loading and checks end by themselves.
    if (queue_.active()) queue_.cancel(*queue_.active());
    pool_.waitForDone();
}

void AppModel::openWritable() {
    // Another program may have changed the library while this one waited for it.
    if (hold_.waited()) loadMembers();
    repairInterrupted();
    recomputeMislabelWarnings();
    Q_EMIT membersChanged();
    actOnCommandLine();
    engine_.start();
}

void AppModel::loadMembers() {
    library_->reload();
    membersProblem_ = QString::fromStdString(library_->membersProblem());
    members_.reset(library_->members());
    services_.reset(library_->services());
    Q_EMIT servicesRead();
}

void AppModel::repairInterrupted() {
    if (library_->repairInterrupted() > 0) services_.reset(library_->services());
}

// Called once the library is this window's to change: while a tool holds it, a recording to
// process and a stream to watch wait, as the operator asked for both.
void AppModel::actOnCommandLine() {
    if (const auto& file = options_.takeAttendance()) {
        const fs::path path = fs::absolute(fs::path(file->toStdString())).lexically_normal();
        createService(QString::fromStdString(path.stem().string()),
                      {QString::fromStdString(path.string())}, "standard");
    }
    if (!options_.liveStream().isEmpty())
        if (LiveSession* session = startLive("stream", options_.liveStream().toString(), ""))
            session->setLabel("Live stream");
}

// ---- Fields and derived values

QString AppModel::libraryRoot() const {
    return QString::fromStdString(library().root().string());
}

QVariantList AppModel::unreadableServices() const {
    QVariantList list;
    for (const Library::UnreadableService& service : library_->unreadableServices())
        list.append(QVariantMap{{"serviceID", QString::fromStdString(service.id)},
                                {"problem", QString::fromStdString(service.problem)}});
    return list;
}

QString AppModel::servicesProblem() const {
    return QString::fromStdString(library_->servicesProblem());
}

void AppModel::showNotice(const QString& text) {
    notice_ = text;
    Q_EMIT noticeChanged();
}

void AppModel::dismissNotice() {
    if (notice_.isEmpty()) return;
    notice_.clear();
    Q_EMIT noticeChanged();
}

QString AppModel::engineErrorText() const {
    return engine_.error() ? QString::fromStdString(*engine_.error()) : QString();
}

QString AppModel::enginePrecision() const {
    const auto engine = engine_.engine();
    return engine ? QString::fromStdString(engine->recognizerPrecision()) : QString();
}

void AppModel::refreshEnginePrecision() {
    const QString now = enginePrecision();
    if (now == shownPrecision_) return;
    shownPrecision_ = now;
    Q_EMIT engineChanged();
}

QStringList AppModel::checkingMemberIDs() const {
    return toStringList(checks_.checking());
}

QStringList AppModel::mislabelWarningTexts() const {
    return toStringList(mislabelWarnings_);
}

QString AppModel::activeServiceIDText() const {
    return queue_.active() ? QString::fromStdString(*queue_.active()) : QString();
}

void AppModel::setLive(QObject* controller) {
    if (live_ == controller) return;
    // A session let go stays readable (by the page that showed it) until the next one starts.
    if (controller && retiredLive_ && retiredLive_ != controller) {
        retiredLive_->deleteLater();
        retiredLive_.clear();
    }
    if (auto* session = qobject_cast<LiveSession*>(live_.data())) {
        if (retiredLive_ && retiredLive_ != session) retiredLive_->deleteLater();
        retiredLive_ = session;
    }
    live_ = controller;
    if (auto* session = qobject_cast<LiveSession*>(controller))
        connect(session, &LiveSession::elapsedChanged, this, &AppModel::refreshEnginePrecision);
    Q_EMIT liveChanged();
}

const Member* AppModel::findMember(const std::string& id) const {
    const int row = members_.indexOf(id);
    return row < 0 ? nullptr : &members_.records()[static_cast<std::size_t>(row)];
}

const Service* AppModel::findService(const std::string& id) const {
    const int row = services_.indexOf(id);
    return row < 0 ? nullptr : &services_.records()[static_cast<std::size_t>(row)];
}

int AppModel::recognisableCount() const {
    return library_->recognisableCount();
}

std::vector<Member> AppModel::needsAttention() const {
    return library_->needingPhotos(
        [this](const Member& m) { return checks_.checking().count(m.id) != 0; });
}

QStringList AppModel::needsAttentionIDs() const {
    QStringList ids;
    for (const Member& m : needsAttention())
        ids << QString::fromStdString(m.id);
    return ids;
}

std::optional<fs::path> AppModel::evidencePath(const Service& service,
                                               const std::optional<std::string>& file) const {
    if (!file) return std::nullopt;
    return library().servicesDir() / service.id / *file;
}

QVariantMap AppModel::member(const QString& id) const {
    return members_.toMap(members_.indexOf(id.toStdString()));
}

QVariantMap AppModel::service(const QString& id) const {
    return services_.toMap(services_.indexOf(id.toStdString()), memberRecords());
}

QUrl AppModel::evidenceURL(const QString& serviceID, const QString& file) const {
    const Service* s = findService(serviceID.toStdString());
    if (!s || file.isEmpty()) return {};
    const auto path = evidencePath(*s, file.toStdString());
    return QUrl::fromLocalFile(QString::fromStdString(path->string()));
}

QString AppModel::thumbnailPath(const QString& memberID) const {
    try {
        return QString::fromStdString(library().thumbURL(memberID.toStdString()).string());
    } catch (const LibraryError&) {
        return {};
    }
}

// ---- Members

bool AppModel::attempt(const std::function<void()>& operation) {
    try {
        operation();
        return true;
    } catch (const std::exception& error) {
        showNotice(QString::fromUtf8(error.what()));
        return false;
    }
}

bool AppModel::changeMembers(const std::function<void(OpenLibrary&)>& operation) {
    const bool done = attempt([&] { operation(*library_); });
    showMembers();
    return done;
}

void AppModel::showMembers() {
    membersProblem_ = QString::fromStdString(library_->membersProblem());
    members_.sync(library_->members());
    Q_EMIT membersChanged();
    recomputeMislabelWarnings();
}

void AppModel::recomputeMislabelWarnings() {
    auto warnings = Enroller::mislabelWarnings(members_.records());
    if (warnings == mislabelWarnings_) return;
    mislabelWarnings_ = std::move(warnings);
    Q_EMIT mislabelWarningsChanged();
}

QString AppModel::addMember(const QString& name) {
    if (!writable()) return {};
    QString id;
    changeMembers([&](OpenLibrary& library) {
        id = QString::fromStdString(library.addMember(name.toStdString()).id);
    });
    return id;
}

void AppModel::rename(const QString& id, const QString& name) {
    if (!writable()) return;
    changeMembers(
        [&](OpenLibrary& library) { library.rename(id.toStdString(), name.toStdString()); });
}

void AppModel::deleteMember(const QString& id) {
    if (!writable()) return;
    changeMembers([&](OpenLibrary& library) { library.removeMember(id.toStdString()); });
}

void AppModel::addPhotos(const QList<QUrl>& files, const QString& id) {
    std::vector<fs::path> paths;
    for (const QUrl& file : files)
        paths.emplace_back(
            (file.isLocalFile() ? file.toLocalFile() : file.toString()).toStdString());
    addPhotos(paths, id.toStdString());
}

void AppModel::addPhotos(const std::vector<fs::path>& files, const std::string& id) {
    if (!writable() || !findMember(id)) return;
    if (changeMembers([&](OpenLibrary& library) { library.addPhotos(id, files); }))
        recheck(QString::fromStdString(id));
}

void AppModel::deletePhoto(const QString& photoID, const QString& memberID) {
    if (!writable()) return;
    const bool removed = changeMembers([&](OpenLibrary& library) {
        library.removePhoto(memberID.toStdString(), photoID.toStdString());
    });
    // The other photos are checked again: the face picture or a group photo may depend on it.
    if (removed) recheck(memberID);
}

void AppModel::recheck(const QString& id) {
    if (!writable() || !findMember(id.toStdString())) return;
    checks_.start(id.toStdString(),
                  [this](const std::string& member) { return findMember(member); });
}

void AppModel::mergeChecked(const std::string& memberID, const Member& checked) {
    // A member deleted while the check ran stays deleted.
    if (!findMember(memberID)) return;
    changeMembers([&](OpenLibrary& library) { library.mergeChecked(memberID, checked); });
    try {
        ImageCache::shared().invalidate(
            QString::fromStdString(library().thumbURL(memberID).string()));
    } catch (const LibraryError&) {
    }
    members_.thumbnailChanged(memberID);
}

// ---- Services

bool AppModel::changeService(const std::string& id,
                             const std::function<Service(OpenLibrary&)>& operation) {
    const int row = services_.indexOf(id);
    return row >= 0 && writable() && attempt([&] { services_.replace(row, operation(*library_)); });
}

bool AppModel::update(const std::string& id, const std::function<void(Service&)>& change) {
    return changeService(id,
                         [&](OpenLibrary& library) { return library.updateService(id, change); });
}

void AppModel::correct(const QString& serviceID, const QString& memberID, const QString& decision) {
    const std::string id = serviceID.toStdString(), member = memberID.toStdString();
    const auto decided = decisionNamed(decision.toStdString());
    changeService(id, [&](OpenLibrary& library) {
        return decided ? library.decide(id, member, *decided)
                       : library.restoreAutomatic(id, member);
    });
}

void AppModel::nameVisitor(const QString& serviceID, const QString& visitorID,
                           const QString& memberID, bool addPhoto) {
    const std::string id = serviceID.toStdString(), visitor = visitorID.toStdString();
    if (!changeService(id, [&](OpenLibrary& library) {
            return library.nameVisitor(id, visitor, memberID.toStdString());
        }))
        return;
    // The snapshot is checked like any photo; a rejection shows on the member's page.
    if (addPhoto &&
        changeMembers([&](OpenLibrary& library) { library.addVisitorPhoto(id, visitor); }))
        recheck(memberID);
}

bool AppModel::exportRegister(const QString& serviceID, const QUrl& file) {
    const Service* service = findService(serviceID.toStdString());
    if (!service) return false;
    const fs::path target =
        (file.isLocalFile() ? file.toLocalFile() : file.toString()).toStdString();
    return attempt([&] {
        library().checkExportTarget(target);
        writeFileAtomically(target, library().csv(*service, memberRecords()));
    });
}

bool AppModel::exportReport(const QUrl& file, const QString& label) {
    const fs::path target =
        (file.isLocalFile() ? file.toLocalFile() : file.toString()).toStdString();
    return attempt([&] {
        library().checkExportTarget(target, "The report");
        ReportRange range;
        range.filter.label = label.toStdString();
        writeFileAtomically(target, attendanceReport(serviceRecords(), memberRecords(), range));
    });
}

QString AppModel::createService(const QString& label, const QStringList& paths,
                                const QString& mode) {
    if (!writable()) return {};
    const Date now = std::chrono::system_clock::now();
    std::vector<std::string> sources;
    for (const QString& path : paths)
        sources.push_back(path.toStdString());
    const auto chosen = ProcessSettings::Mode::fromRawValue(mode.toStdString());
    Service service(library().newServiceID(), label.toStdString(), now, now, std::move(sources),
                    chosen.value_or(ProcessSettings::Mode::standard));
    markQueued(service);
    if (!insertService(service)) return {};
    enqueue(QString::fromStdString(service.id));
    return QString::fromStdString(service.id);
}

bool AppModel::insertService(const Service& service) {
    if (!writable() || !attempt([&] { library_->addService(service); })) return false;
    services_.prepend(service);
    return true;
}

// ---- Live sessions

LiveSession* AppModel::startLive(const QString& kind, const QString& value, const QString& name) {
    // A session writes its service's files when it finishes; a library held by another program
    // must not get them.
    if (!writable()) return nullptr;
    std::optional<LiveSourceKind> source;
    if (kind == "camera")
        source = LiveSourceKind::camera(value.toStdString(), name.toStdString());
    else if (kind == "stream")
        source = LiveSourceKind::stream(value.toStdString());
    if (!source) return nullptr;
    return openLive(std::move(*source));
}

LiveSession* AppModel::retryLive() {
    auto* current = qobject_cast<LiveSession*>(live_.data());
    if (!current || !writable()) return nullptr;
    return openLive(current->controller().source());
}

LiveSession* AppModel::openLive(LiveSourceKind source) {
    // A session still current has not been saved; it stops, writing nothing.
    if (auto* current = qobject_cast<LiveSession*>(live_.data())) current->discard();
    auto* session = new LiveSession(*this, *this, std::move(source), library().newServiceID());
    QQmlEngine::setObjectOwnership(session, QQmlEngine::CppOwnership);
    setLive(session);
    return session;
}

QVariantList AppModel::availableCameras() const {
    return LiveSession::cameras();
}

void AppModel::enqueue(const QString& id) {
    if (writable()) queue_.enqueue(id.toStdString());
}

void AppModel::cancel(const QString& id) {
    if (writable()) queue_.cancel(id.toStdString());
}

void AppModel::deleteService(const QString& id) {
    if (!writable()) return;
    cancel(id);
    const std::string serviceID = id.toStdString();
    if (!attempt([&] { library_->removeService(serviceID); })) return;
    for (int row; (row = services_.indexOf(serviceID)) >= 0;)
        services_.removeAt(row);
}

void AppModel::setAsideService(const QString& id) {
    if (!writable()) return;
    attempt([&] { library_->setAsideService(id.toStdString()); });
    Q_EMIT servicesRead();
}

} // namespace tallymere
