#include "AppModel.h"

#include "ImageCache.h"
#include "LiveSession.h"
#include "engine/FaceEngine.h"
#include "library/Enroller.h"
#include "library/Library.h"
#include "library/LibraryError.h"
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
constexpr float mislabelMargin = 0.05f;

// Names lose leading and trailing spaces and tabs; line breaks are the user's own.
std::string trimmedName(const QString& text) {
    std::string name = text.toStdString();
    const auto first = name.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = name.find_last_not_of(" \t");
    return name.substr(first, last - first + 1);
}

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

QVariantMap resultsMap(const ServiceResults& results) {
    QVariantList members;
    for (const MemberResult& m : results.members)
        members.append(
            QVariantMap{{"memberID", QString::fromStdString(m.memberID)},
                        {"present", m.present},
                        {"confidence", m.confidence},
                        {"firstSeen", optionalSeconds(m.firstSeen)},
                        {"lastSeen", optionalSeconds(m.lastSeen)},
                        {"firstSeenText", QString::fromStdString(formatClock(m.firstSeen))},
                        {"lastSeenText", QString::fromStdString(formatClock(m.lastSeen))},
                        {"sightings", m.sightings},
                        {"needsReview", m.needsReview},
                        {"reviewReason", QString::fromStdString(m.reviewReason)},
                        {"evidenceFile",
                         m.evidenceFile ? QString::fromStdString(*m.evidenceFile) : QString()}});
    QVariantList visitors;
    for (const Visitor& v : results.visitors)
        visitors.append(QVariantMap{{"id", QString::fromStdString(v.id)},
                                    {"imageFile", QString::fromStdString(v.imageFile)},
                                    {"firstSeen", v.firstSeen},
                                    {"sightings", v.sightings}});
    return {{"members", members},
            {"visitors", visitors},
            {"present", results.present()},
            {"absent", results.absent()},
            {"needsReview", results.needsReview()},
            {"framesAnalysed", results.framesAnalysed},
            {"durationSeconds", results.durationSeconds},
            {"processingSeconds", results.processingSeconds},
            {"membersEnrolled", results.membersEnrolled},
            {"model", QString::fromStdString(results.model)}};
}

} // namespace

// ---- Start-up

AppModel::AppModel(Options options, QObject* parent)
    : QObject(parent), config(std::move(options)), library_(std::make_shared<Library>(config.root)),
      options_(config.arguments), members_(QString::fromStdString(library_->root().string())) {
    // Engine loading, one run and any number of enrolment checks may run side by side.
    pool_.setMaxThreadCount(std::max(4, QThread::idealThreadCount()));
    lockPoll.setInterval(config.lockPollMilliseconds);
    connect(&lockPoll, &QTimer::timeout, this, &AppModel::tryTakeLibrary);
    connect(&members_, &MemberListModel::countChanged, this, &AppModel::membersChanged);

    // Reading is always allowed: the window shows the library while it waits for the lock.
    loadMembers();
    services_.reset(library_->loadServices());
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
        lock = LibraryLock::tryAcquire(library_->root(), LibraryLock::Range::library,
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
    const auto holder = LibraryLock::recordedHolder(library_->root());
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
    if (waitedForLock) {
        loadMembers();
        services_.reset(library_->loadServices());
    }
    setAccess(LibraryAccess::writable, {});
    repairInterrupted();
    recomputeMislabelWarnings();
    Q_EMIT membersChanged();
    actOnCommandLine();
    startEngine();
}

void AppModel::loadMembers() {
    Library::MemberList list = library_->readMembers();
    membersProblem_ = QString::fromStdString(list.problem);
    members_.reset(std::move(list.members));
}

void AppModel::setAccess(LibraryAccess access, QString status) {
    if (access == access_ && status == libraryStatus_) return;
    access_ = access;
    libraryStatus_ = std::move(status);
    Q_EMIT libraryAccessChanged();
}

void AppModel::repairInterrupted() {
    for (const Service& service : std::vector<Service>(services_.records())) {
        if (service.status != ServiceStatus::queued && service.status != ServiceStatus::processing)
            continue;
        update(service.id, [](Service& s) {
            s.status = ServiceStatus::failed;
            s.message = interruptedMessage;
        });
    }
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
            if (engine)
                model.engine_ = engine;
            else
                model.engineError_ = error;
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
    return QString::fromStdString(library_->root().string());
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
    const auto& all = members_.records();
    return static_cast<int>(
        std::count_if(all.begin(), all.end(), [](const Member& m) { return m.goodPhotos() >= 1; }));
}

std::vector<Member> AppModel::needsAttention() const {
    std::vector<Member> found;
    for (const Member& m : members_.records())
        if (!checking_.count(m.id) && m.goodPhotos() <= 2) found.push_back(m);
    return found;
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
    return library_->root() / "services" / service.id / *file;
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
    if (s->results) map.insert("results", resultsMap(*s->results));
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
        return QString::fromStdString(library_->thumbURL(memberID.toStdString()).string());
    } catch (const LibraryError&) {
        return {};
    }
}

// ---- Members

void AppModel::saveMembers() {
    if (!writable()) return;
    try {
        library_->saveMembers(members_.records());
    } catch (const std::exception&) {
        // The list keeps the change; the next save writes it.
    }
}

void AppModel::setMember(int row, Member member) {
    members_.replace(row, std::move(member));
    Q_EMIT membersChanged();
}

void AppModel::recomputeMislabelWarnings() {
    auto warnings = Enroller::mislabelWarnings(members_.records(), mislabelMargin);
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
    Member member;
    member.id = library_->nextMemberID(members_.records());
    member.name = trimmedName(name);
    member.created = std::chrono::system_clock::now();
    std::error_code ignored;
    fs::create_directories(library_->membersDir() / member.id, ignored);
    const QString id = QString::fromStdString(member.id);
    members_.append(std::move(member));
    saveMembers();
    return id;
}

void AppModel::rename(const QString& id, const QString& name) {
    if (!writable()) return;
    const int row = members_.indexOf(id.toStdString());
    if (row < 0) return;
    Member member = members_.records()[static_cast<std::size_t>(row)];
    member.name = trimmedName(name);
    setMember(row, std::move(member));
    saveMembers();
}

void AppModel::deleteMember(const QString& id) {
    if (!writable()) return;
    const std::string memberID = id.toStdString();
    for (int row; (row = members_.indexOf(memberID)) >= 0;)
        members_.removeAt(row);
    library_->deleteMemberFiles(memberID);
    saveMembers();
    recomputeMislabelWarnings();
}

void AppModel::addPhotos(const QList<QUrl>& files, const QString& id) {
    std::vector<fs::path> paths;
    for (const QUrl& file : files)
        paths.emplace_back(
            (file.isLocalFile() ? file.toLocalFile() : file.toString()).toStdString());
    addPhotos(paths, id.toStdString());
}

void AppModel::addPhotos(const std::vector<fs::path>& files, const std::string& id) {
    if (!writable()) return;
    const int row = members_.indexOf(id);
    if (row < 0) return;
    std::vector<Photo> imported;
    try {
        imported = library_->importPhotos(files, id);
    } catch (const std::exception&) {
        // No photos are added; the member is still saved and checked.
    }
    Member member = members_.records()[static_cast<std::size_t>(row)];
    member.photos.insert(member.photos.end(), imported.begin(), imported.end());
    setMember(row, std::move(member));
    saveMembers();
    recheck(QString::fromStdString(id));
}

void AppModel::deletePhoto(const QString& photoID, const QString& memberID) {
    if (!writable()) return;
    const std::string id = memberID.toStdString();
    const int row = members_.indexOf(id);
    if (row < 0) return;
    const std::string photo = photoID.toStdString();
    Member member = members_.records()[static_cast<std::size_t>(row)];
    std::erase_if(member.photos, [&](const Photo& p) { return p.id == photo; });
    setMember(row, std::move(member));
    try {
        std::error_code ignored;
        fs::remove(library_->photoURL(id, photo), ignored);
    } catch (const LibraryError&) {
        // A photo id that names no file inside the member's folder removes nothing.
    }
    saveMembers();
    recheck(memberID);
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
            Member checked = Enroller(*engine, *library).check(std::move(copy));
            post(self, [memberID, checked = std::move(checked)](AppModel& model) {
                model.mergeChecked(memberID, checked);
            });
        });
    });
}

void AppModel::mergeChecked(const std::string& memberID, const Member& checked) {
    const int row = members_.indexOf(memberID);
    if (row >= 0) {
        // Photos added while the check ran are kept, unchecked, after the checked ones.
        Member member = members_.records()[static_cast<std::size_t>(row)];
        std::vector<Photo> photos = checked.photos;
        for (const Photo& photo : member.photos) {
            const bool seen = std::any_of(checked.photos.begin(), checked.photos.end(),
                                          [&](const Photo& p) { return p.id == photo.id; });
            if (!seen) photos.push_back(photo);
        }
        member.photos = std::move(photos);
        setMember(row, std::move(member));
    }
    setChecking(memberID, false);
    saveMembers();
    recomputeMislabelWarnings();
    try {
        ImageCache::shared().invalidate(
            QString::fromStdString(library_->thumbURL(memberID).string()));
    } catch (const LibraryError&) {
    }
    members_.thumbnailChanged(memberID);
}

// ---- Services

void AppModel::update(const std::string& id, const std::function<void(Service&)>& change) {
    const int row = services_.indexOf(id);
    if (row < 0) return;
    Service service = services_.records()[static_cast<std::size_t>(row)];
    change(service);
    if (writable()) {
        try {
            library_->save(service);
        } catch (const std::exception&) {
            // The list keeps the change.
        }
    }
    services_.replace(row, std::move(service));
}

QString AppModel::createService(const QString& label, const QStringList& paths,
                                const QString& mode) {
    if (!writable()) return {};
    const Date now = std::chrono::system_clock::now();
    std::vector<std::string> sources;
    for (const QString& path : paths)
        sources.push_back(path.toStdString());
    const auto chosen = ProcessSettings::Mode::fromRawValue(mode.toStdString());
    Service service(library_->newServiceID(), label.toStdString(), now, now, std::move(sources),
                    chosen.value_or(ProcessSettings::Mode::standard));
    service.status = ServiceStatus::queued;
    service.progress = 0;
    insertService(service);
    enqueue(QString::fromStdString(service.id));
    return QString::fromStdString(service.id);
}

void AppModel::insertService(const Service& service) {
    if (!writable()) return;
    services_.prepend(service);
    try {
        library_->save(service);
    } catch (const std::exception&) {
    }
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
    auto* session = new LiveSession(*this, std::move(*source), library_->newServiceID());
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
    update(serviceID, [](Service& s) {
        s.status = ServiceStatus::queued;
        s.progress = 0;
        s.message = "Waiting to start";
    });
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
    update(id, [](Service& s) {
        s.status = ServiceStatus::processing;
        s.message = "Preparing face models";
    });
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
            update(id, [&](Service& s) {
                s.status = ServiceStatus::failed;
                s.message = text;
            });
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
                    model.update(id, [&](Service& s) {
                        s.progress = progressValue(report);
                        s.message = report.message;
                    });
                });
            };
            auto isCancelled = [flags, id] { return flags->contains(id); };
            std::optional<ServiceResults> results;
            std::optional<std::string> failure;
            try {
                ServiceProcessor processor(*engine, *library);
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
    if (finished) {
        update(id, [&](Service& s) {
            s.status = ServiceStatus::done;
            s.progress = 1.0;
            s.message = "Finished";
            s.results = std::move(results);
        });
    } else if (failure) {
        update(id, [&](Service& s) {
            s.status = ServiceStatus::failed;
            s.message = *failure;
        });
    } else {
        update(id, [](Service& s) {
            s.status = ServiceStatus::cancelled;
            s.message = "Cancelled";
        });
    }
    // A service deleted while it ran may have had snapshots written after its folder went.
    if (!findService(id) && writable()) library_->deleteService(id);
    cancelFlags_->remove(id);
    setActive(std::nullopt);
    runNext();
    if (finished) {
        if (const Service* s = findService(id))
            Q_EMIT attendanceReady(QString::fromStdString(id), QString::fromStdString(s->label));
    }
}

double AppModel::progressValue(const Progress& report) {
    if (!report.total || *report.total < 1) return 0;
    return std::min(static_cast<double>(report.done) / static_cast<double>(*report.total), 0.99);
}

void AppModel::cancel(const QString& id) {
    if (!writable()) return;
    const std::string serviceID = id.toStdString();
    if (std::find(queue_.begin(), queue_.end(), serviceID) != queue_.end()) {
        std::erase(queue_, serviceID);
        update(serviceID, [](Service& s) {
            s.status = ServiceStatus::cancelled;
            s.message = "Cancelled";
        });
    } else {
        cancelFlags_->insert(serviceID);
    }
}

void AppModel::deleteService(const QString& id) {
    if (!writable()) return;
    cancel(id);
    const std::string serviceID = id.toStdString();
    for (int row; (row = services_.indexOf(serviceID)) >= 0;)
        services_.removeAt(row);
    library_->deleteService(serviceID);
}

} // namespace tallymere
