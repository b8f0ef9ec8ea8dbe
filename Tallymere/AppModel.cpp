#include "AppModel.h"

#include "ImageCache.h"
#include "LiveSession.h"
#include "engine/FaceEngine.h"
#include "library/AtomicFile.h"
#include "library/Library.h"
#include "library/LibraryError.h"
#include "library/Register.h"
#include "recognition/Enroller.h"
#include "runs/FrameFeed.h"
#include "runs/ProcessError.h"
#include "runs/ServiceProcessor.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QQmlEngine>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <chrono>
#include <system_error>

namespace tallymere {

namespace fs = std::filesystem;

namespace {

constexpr int engineWaitMilliseconds = 200;

QStringList toStringList(const auto& texts) {
    QStringList list;
    for (const std::string& text : texts)
        list << QString::fromStdString(text);
    return list;
}

QVariant optionalSeconds(const std::optional<double>& seconds) {
    return seconds ? QVariant(*seconds) : QVariant();
}

QDateTime toDateTime(Date date) {
    using namespace std::chrono;
    return QDateTime::fromMSecsSinceEpoch(
        duration_cast<milliseconds>(date.time_since_epoch()).count(), Qt::UTC);
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
        if (line.correction) map.insert("decided", toDateTime(line.correction->decided));
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

// ---- Start-up

AppModel::AppModel(Options options, QObject* parent)
    : QObject(parent), config(std::move(options)),
      library_(std::make_shared<OpenLibrary>(config.root)), options_(config.arguments),
      members_(QString::fromStdString(library_->library().root().string())) {
    // Engine loading, one run and any number of enrolment checks may run side by side.
    pool_.setMaxThreadCount(std::max(4, QThread::idealThreadCount()));
    lockPoll.setInterval(config.lockPollMilliseconds);
    connect(&lockPoll, &QTimer::timeout, this, &AppModel::tryTakeLibrary);
    connect(&members_, &MemberListModel::countChanged, this, &AppModel::membersChanged);

    // Reading is always allowed: the window shows the library while it waits for the lock.
    loadMembers();
    tryTakeLibrary();
    if (access_ != LibraryAccess::writable && !lockError) lockPoll.start();
}

AppModel::~AppModel() {
    lockPoll.stop();
    // Live sessions stop (writing nothing) while the model they use is still whole.
    for (LiveSession* session : findChildren<LiveSession*>(Qt::FindDirectChildrenOnly))
        delete session;
    // Nothing is flushed: a run still going stops at its next frame and its result is dropped;
    // the next start finds the service interrupted. Engine loading and checks end by themselves.
    if (activeServiceID_) cancelFlags_->insert(*activeServiceID_);
    pool_.waitForDone();
}

void AppModel::tryTakeLibrary() {
    std::optional<LibraryLock> lock;
    try {
        lock = LibraryLock::tryAcquire(library_->library().root(), LibraryLock::Range::library,
                                       LibraryLock::Kind::exclusive);
    } catch (const LibraryError& error) {
        // A lock file that cannot be used protects nothing: stay a reader.
        lockError = true;
        lockPoll.stop();
        setAccess(LibraryAccess::readOnly, QString::fromUtf8(error.what()));
        return;
    }
    if (lock) {
        lock->recordHolder(LibraryLock::applicationName);
        lock_ = std::move(lock);
        lockPoll.stop();
        openWritable();
        return;
    }
    waitedForLock = true;
    const auto holder = LibraryLock::recordedHolder(library_->library().root());
    if (holder && holder->program == LibraryLock::applicationName)
        setAccess(LibraryAccess::readOnly,
                  QString::fromStdString("This library is open in " + holder->description() +
                                         ". This window only shows it; make changes there, or "
                                         "close it and this window takes over."));
    else
        setAccess(LibraryAccess::waiting, QString::fromUtf8(waitingForToolMessage));
}

void AppModel::openWritable() {
    // Another program may have changed the library while this one waited for it.
    if (waitedForLock) loadMembers();
    setAccess(LibraryAccess::writable, {});
    repairInterrupted();
    recomputeMislabelWarnings();
    Q_EMIT membersChanged();
    actOnCommandLine();
    startEngine();
}

void AppModel::loadMembers() {
    library_->reload();
    membersProblem_ = QString::fromStdString(library_->membersProblem());
    members_.reset(library_->members());
    services_.reset(library_->services());
}

void AppModel::setAccess(LibraryAccess access, QString status) {
    if (access == access_ && status == libraryStatus_) return;
    access_ = access;
    libraryStatus_ = std::move(status);
    Q_EMIT libraryAccessChanged();
}

void AppModel::repairInterrupted() {
    if (library_->repairInterrupted() > 0) services_.reset(library_->services());
}

void AppModel::actOnCommandLine() {
    const auto& file = options_.takeAttendance();
    if (!file) return;
    const fs::path path = fs::absolute(fs::path(file->toStdString())).lexically_normal();
    createService(QString::fromStdString(path.stem().string()),
                  {QString::fromStdString(path.string())}, "standard");
}

void AppModel::startEngine() {
    if (engineStarted) return;
    engineStarted = true;
    QPointer<AppModel> self(this);
    auto directory = config.modelsDirectory;
    QThreadPool* pool = &pool_;
    auto load = [self, directory] {
        std::shared_ptr<FaceEngine> engine;
        std::string error;
        try {
            engine = std::make_shared<FaceEngine>(directory);
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        if (engine) {
            // The first detection sets up the detector; done now, the first run starts sooner.
            try {
                engine->detect(BGRAImage(64, 64), 1280, 0.5f, 1);
            } catch (const std::exception&) {
            }
        }
        post(self, [engine, error](AppModel& model) {
            if (engine) {
                model.engine_ = engine;
            } else {
                model.engineError_ = error;
                model.showNotice(QString::fromStdString(error));
            }
            Q_EMIT model.engineChanged();
        });
    };
    (void)QtConcurrent::run(pool, load);
}

void AppModel::whenEngineSettled(std::function<void()> next) {
    QTimer::singleShot(
        0, this, [this, next = std::move(next)]() mutable { waitForEngine(std::move(next)); });
}

void AppModel::waitForEngine(std::function<void()> next) {
    if (engine_ || engineError_) {
        next();
        return;
    }
    QTimer::singleShot(engineWaitMilliseconds, this, [this, next = std::move(next)]() mutable {
        waitForEngine(std::move(next));
    });
}

void AppModel::post(const QPointer<AppModel>& model, std::function<void(AppModel&)> work) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [model, work = std::move(work)] {
            if (model) work(*model);
        },
        Qt::QueuedConnection);
}

// ---- Fields and derived values

QString AppModel::libraryRoot() const {
    return QString::fromStdString(library().root().string());
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
    return engineError_ ? QString::fromStdString(*engineError_) : QString();
}

QStringList AppModel::checkingMemberIDs() const {
    return toStringList(checking_);
}

QStringList AppModel::mislabelWarningTexts() const {
    return toStringList(mislabelWarnings_);
}

QString AppModel::activeServiceIDText() const {
    return activeServiceID_ ? QString::fromStdString(*activeServiceID_) : QString();
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
    return library_->needingPhotos([this](const Member& m) { return checking_.count(m.id) != 0; });
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
    const Service* s = findService(id.toStdString());
    if (!s) return {};
    QStringList paths;
    for (const auto& path : s->sourcePaths)
        paths << QString::fromStdString(path);
    QVariantMap map{
        {"serviceID", QString::fromStdString(s->id)},
        {"label", QString::fromStdString(s->label)},
        {"date", toDateTime(s->date)},
        {"created", toDateTime(s->created)},
        {"sourcePaths", paths},
        {"liveSource", s->liveSource ? QString::fromStdString(*s->liveSource) : QString()},
        {"mode", QString::fromUtf8(s->mode.rawValue())},
        {"status", QString::fromUtf8(s->status.rawValue())},
        {"progress", s->progress},
        {"message", QString::fromStdString(s->message)},
        {"hasResults", s->results.has_value()}};
    if (s->results) map.insert("results", resultsMap(*s, memberRecords()));
    return map;
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

bool AppModel::changeMembers(const std::function<void(OpenLibrary&)>& operation) {
    bool done = true;
    try {
        operation(*library_);
    } catch (const std::exception& error) {
        showNotice(QString::fromUtf8(error.what()));
        done = false;
    }
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

void AppModel::setChecking(const std::string& id, bool checking) {
    // Checks of one member may overlap (photos added while one runs); the member stays marked
    // until the last of them has ended.
    int& running = checksRunning[id];
    running += checking ? 1 : -1;
    if (running > 0 && !checking) return;
    if (running <= 0) checksRunning.erase(id);
    if (checking ? !checking_.insert(id).second : checking_.erase(id) == 0) return;
    members_.setChecking(id, checking);
    Q_EMIT checkingMembersChanged();
    Q_EMIT membersChanged(); // needsAttention leaves out members being checked
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
    if (!writable()) return;
    const std::string memberID = id.toStdString();
    if (!findMember(memberID)) return;
    setChecking(memberID, true);
    whenEngineSettled([this, memberID] {
        const Member* current = findMember(memberID);
        if (!engine_ || !current) {
            setChecking(memberID, false);
            return;
        }
        QPointer<AppModel> self(this);
        auto engine = engine_;
        auto library = library_;
        Member copy = *current;
        (void)QtConcurrent::run(&pool_, [self, engine, library, copy = std::move(copy)]() mutable {
            const std::string memberID = copy.id;
            Member checked = Enroller(*engine, library->library()).check(std::move(copy));
            post(self, [memberID, checked = std::move(checked)](AppModel& model) {
                model.mergeChecked(memberID, checked);
            });
        });
    });
}

void AppModel::mergeChecked(const std::string& memberID, const Member& checked) {
    setChecking(memberID, false);
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

bool AppModel::update(const std::string& id, const std::function<void(Service&)>& change) {
    const int row = services_.indexOf(id);
    if (row < 0 || !writable()) return false;
    try {
        services_.replace(row, library_->updateService(id, change));
        return true;
    } catch (const std::exception& error) {
        showNotice(QString::fromUtf8(error.what()));
        return false;
    }
}

void AppModel::correct(const QString& serviceID, const QString& memberID, const QString& decision) {
    const std::string id = serviceID.toStdString();
    const int row = services_.indexOf(id);
    if (row < 0 || !writable()) return;
    const auto decided = decisionNamed(decision.toStdString());
    try {
        services_.replace(row, decided ? library_->decide(id, memberID.toStdString(), *decided)
                                       : library_->restoreAutomatic(id, memberID.toStdString()));
    } catch (const std::exception& error) {
        showNotice(QString::fromUtf8(error.what()));
    }
}

void AppModel::nameVisitor(const QString& serviceID, const QString& visitorID,
                           const QString& memberID, bool addPhoto) {
    const std::string id = serviceID.toStdString();
    const int row = services_.indexOf(id);
    if (row < 0 || !writable()) return;
    try {
        services_.replace(
            row, library_->nameVisitor(id, visitorID.toStdString(), memberID.toStdString()));
    } catch (const std::exception& error) {
        showNotice(QString::fromUtf8(error.what()));
        return;
    }
    // The snapshot is checked like any photo; a rejection shows on the member's page.
    if (addPhoto && changeMembers([&](OpenLibrary& library) {
            library.addVisitorPhoto(id, visitorID.toStdString());
        }))
        recheck(memberID);
}

bool AppModel::exportRegister(const QString& serviceID, const QUrl& file) {
    const Service* service = findService(serviceID.toStdString());
    if (!service) return false;
    const fs::path target =
        (file.isLocalFile() ? file.toLocalFile() : file.toString()).toStdString();
    try {
        writeFileAtomically(target, library().csv(*service, memberRecords()));
        return true;
    } catch (const std::exception& error) {
        showNotice(
            QString::fromStdString("Couldn't write " + target.string() + ": " + error.what()));
        return false;
    }
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
    if (!writable()) return false;
    try {
        library_->addService(service);
    } catch (const std::exception& error) {
        showNotice(QString::fromUtf8(error.what()));
        return false;
    }
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
    // A session still current has not been saved; it stops, writing nothing.
    if (auto* current = qobject_cast<LiveSession*>(live_.data())) current->discard();
    auto* session = new LiveSession(*this, std::move(*source), library().newServiceID());
    QQmlEngine::setObjectOwnership(session, QQmlEngine::CppOwnership);
    setLive(session);
    return session;
}

QVariantList AppModel::availableCameras() const {
    QVariantList cameras;
    for (const CameraInfo& camera : tallymere::availableCameras())
        cameras.append(QVariantMap{{"id", QString::fromStdString(camera.id)},
                                   {"name", QString::fromStdString(camera.name)},
                                   {"path", QString::fromStdString(camera.path)}});
    return cameras;
}

void AppModel::enqueue(const QString& id) {
    if (!writable()) return;
    const std::string serviceID = id.toStdString();
    if (!update(serviceID, markQueued)) return;
    queue_.push_back(serviceID);
    if (!activeServiceID_) runNext();
}

void AppModel::setActive(std::optional<std::string> id) {
    if (id == activeServiceID_) return;
    activeServiceID_ = std::move(id);
    Q_EMIT activeServiceIDChanged();
}

void AppModel::runNext() {
    if (activeServiceID_ || queue_.empty()) return;
    const std::string id = queue_.front();
    queue_.erase(queue_.begin());
    if (!findService(id)) {
        runNext(); // deleted while it waited
        return;
    }
    setActive(id);
    update(id, markProcessing);
    startRun(id);
}

void AppModel::startRun(const std::string& id) {
    Service service = *findService(id);
    std::vector<Member> members = members_.records();
    auto library = library_;
    auto flags = cancelFlags_;
    whenEngineSettled([this, id, service = std::move(service), members = std::move(members),
                       library, flags]() mutable {
        if (!engine_) {
            const std::string text = engineError_.value_or("Face models unavailable");
            update(id, [&](Service& s) { markFailed(s, text); });
            flags->remove(id);
            setActive(std::nullopt);
            runNext();
            return;
        }
        QPointer<AppModel> self(this);
        auto run = [self, engine = engine_, library, flags, id, service = std::move(service),
                    members = std::move(members)] {
            auto progress = [self, id](const Progress& report) {
                post(self, [id, report](AppModel& model) {
                    model.update(id, [&](Service& s) { markProgress(s, report); });
                });
            };
            auto isCancelled = [flags, id] { return flags->contains(id); };
            std::optional<ServiceResults> results;
            std::optional<std::string> failure;
            try {
                ServiceProcessor processor(*engine, library->library());
                results = processor.run(service, members, ProcessSettings::preset(service.mode),
                                        progress, isCancelled);
            } catch (const ProcessError& error) {
                if (error.kind() != ProcessError::Kind::cancelled) failure = error.what();
            } catch (const std::exception& error) {
                failure = error.what();
            }
            post(self, [id, results = std::move(results), failure](AppModel& model) mutable {
                model.finishRun(id, std::move(results), failure);
            });
        };
        (void)QtConcurrent::run(&pool_, std::move(run));
    });
}

void AppModel::finishRun(const std::string& id, std::optional<ServiceResults> results,
                         const std::optional<std::string>& failure) {
    const bool finished = results.has_value();
    bool saved = false;
    if (finished)
        saved = update(id, [&](Service& s) { markFinished(s, std::move(*results)); });
    else if (failure)
        update(id, [&](Service& s) { markFailed(s, *failure); });
    else
        update(id, markCancelled);
    // A service deleted while it ran may have had snapshots written after its folder went.
    if (!findService(id) && writable()) library().deleteService(id);
    cancelFlags_->remove(id);
    setActive(std::nullopt);
    runNext();
    if (saved) {
        if (const Service* s = findService(id))
            Q_EMIT attendanceReady(QString::fromStdString(id), QString::fromStdString(s->label));
    }
}

void AppModel::cancel(const QString& id) {
    if (!writable()) return;
    const std::string serviceID = id.toStdString();
    if (std::find(queue_.begin(), queue_.end(), serviceID) != queue_.end()) {
        std::erase(queue_, serviceID);
        update(serviceID, markCancelled);
    } else {
        cancelFlags_->insert(serviceID);
    }
}

void AppModel::deleteService(const QString& id) {
    if (!writable()) return;
    cancel(id);
    const std::string serviceID = id.toStdString();
    try {
        library_->removeService(serviceID);
    } catch (const std::exception& error) {
        showNotice(QString::fromUtf8(error.what()));
        return;
    }
    for (int row; (row = services_.indexOf(serviceID)) >= 0;)
        services_.removeAt(row);
}

} // namespace tallymere
