#pragma once

#include "AttendanceOverTime.h"
#include "CommandLineOptions.h"
#include "EngineLoader.h"
#include "LibraryHold.h"
#include "LiveSession.h"
#include "MemberChecks.h"
#include "MemberListModel.h"
#include "ProcessingQueue.h"
#include "ServiceListModel.h"
#include "library/OpenLibrary.h"
#include "library/ProcessSettings.h"
#include "library/Records.h"
#include "library/ServiceResults.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tallymere {

class FaceEngine;
class Library;
class LiveSession;
struct Progress;

// The one object the window binds to: the opened library with the members and services, the
// members being re-checked, the mislabel warnings, the failure notice and the current live
// session, over the parts that do the work: the hold on the library (LibraryHold), the face
// models (EngineLoader) and the processing queue (ProcessingQueue). Everything here lives on the
// GUI thread; slow work runs on the model's thread pool and comes back as queued calls that find
// the model gone or not. Until the hold has the library, the model writes nothing.
class AppModel : public QObject, public LiveSessionHost, private ProcessingQueue::Host {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("One application model is made at start-up.")

    Q_PROPERTY(QString libraryRoot READ libraryRoot CONSTANT)
    Q_PROPERTY(tallymere::MemberListModel* members READ memberList CONSTANT)
    Q_PROPERTY(tallymere::ServiceListModel* services READ serviceList CONSTANT)
    Q_PROPERTY(tallymere::CommandLineOptions* options READ options CONSTANT)
    // Each member's history, the members to follow up and the trend.
    Q_PROPERTY(tallymere::AttendanceOverTime* attendance READ attendance CONSTANT)
    Q_PROPERTY(bool engineReady READ engineReady NOTIFY engineChanged)
    // The engine's error text once loading failed, else "".
    Q_PROPERTY(QString engineError READ engineErrorText NOTIFY engineChanged)
    // The precision the loaded recogniser computes in (FaceEngine::recognizerPrecision), else "".
    Q_PROPERTY(QString enginePrecision READ enginePrecision NOTIFY engineChanged)
    Q_PROPERTY(QStringList checkingMembers READ checkingMemberIDs NOTIFY checkingMembersChanged)
    Q_PROPERTY(
        QStringList mislabelWarnings READ mislabelWarningTexts NOTIFY mislabelWarningsChanged)
    // The service being processed, "" when none.
    Q_PROPERTY(QString activeServiceID READ activeServiceIDText NOTIFY activeServiceIDChanged)
    // The current live controller; set and cleared by the live operations.
    Q_PROPERTY(QObject* live READ live NOTIFY liveChanged)
    Q_PROPERTY(int recognisableCount READ recognisableCount NOTIFY membersChanged)
    // The good photos a member should have, for the screens' hints.
    Q_PROPERTY(int minGoodPhotos READ minGoodPhotos CONSTANT)
    // Ids of the members, in list order, not being checked and with fewer than minGoodPhotos good
    // photos.
    Q_PROPERTY(QStringList needsAttention READ needsAttentionIDs NOTIFY membersChanged)
    Q_PROPERTY(
        tallymere::LibraryHold::Access libraryAccess READ libraryAccess NOTIFY libraryAccessChanged)
    // What the window says about the library while it cannot write it; "" when it can.
    Q_PROPERTY(QString libraryStatus READ libraryStatus NOTIFY libraryAccessChanged)
    // Why the stored member list cannot be used (it is then shown empty and never saved over);
    // empty when it is fine.
    Q_PROPERTY(QString membersProblem READ membersProblem NOTIFY membersChanged)
    Q_PROPERTY(bool writable READ writable NOTIFY libraryAccessChanged)
    // The last failure the operator has not dismissed (a save, an import, an export, the face
    // models), in the library's or engine's own words; "" when there is none.
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
    // Service folders whose record cannot be read: {serviceID, problem}, newest first; shown as
    // cards of their own rather than left out.
    Q_PROPERTY(QVariantList unreadableServices READ unreadableServices NOTIFY servicesRead)
    // Why the services folder itself cannot be read; "" when it can.
    Q_PROPERTY(QString servicesProblem READ servicesProblem NOTIFY servicesRead)

public:
    using LibraryAccess = LibraryHold::Access;
    static constexpr const char* interruptedMessage = OpenLibrary::interruptedMessage;
    static constexpr const char* waitingForToolMessage = LibraryHold::waitingForToolMessage;

    struct Options {
        std::filesystem::path root; // the library folder (the application: Library::defaultRoot)
        QStringList arguments;      // the command line, without the program's name
        // The face models folder; none searches the default places.
        std::optional<std::filesystem::path> modelsDirectory;
        // How often a model that cannot write yet looks at the library's lock again.
        int lockPollMilliseconds = 200;
        // The application's own settings (the screens' choices remembered between starts); ""
        // remembers nothing.
        QString settingsFile;
    };

    explicit AppModel(Options options, QObject* parent = nullptr);
    ~AppModel() override;

    // ---- Fields

    QString libraryRoot() const;
    const Library& library() const { return library_->library(); }
    // For a live session, which writes its finished service's files itself.
    Library& writableLibrary() override { return library_->library(); }
    MemberListModel* memberList() { return &members_; }
    ServiceListModel* serviceList() { return &services_; }
    CommandLineOptions* options() { return &options_; }
    AttendanceOverTime* attendance() { return &attendance_; }
    const std::vector<Member>& memberRecords() const override { return members_.records(); }
    const std::vector<Service>& serviceRecords() const { return services_.records(); }
    std::shared_ptr<FaceEngine> engine() const override { return engine_.engine(); }
    const std::optional<std::string>& engineError() const override { return engine_.error(); }
    bool engineReady() const { return engine_.engine() != nullptr; }
    QString engineErrorText() const;
    QString enginePrecision() const;
    const std::set<std::string>& checkingMembers() const { return checks_.checking(); }
    QStringList checkingMemberIDs() const;
    const std::vector<std::string>& mislabelWarnings() const { return mislabelWarnings_; }
    QStringList mislabelWarningTexts() const;
    const std::optional<std::string>& activeServiceID() const { return queue_.active(); }
    QString activeServiceIDText() const;
    QObject* live() const override { return live_; }
    // Set by the live operations; the model does not own the controller's lifetime otherwise.
    void setLive(QObject* controller) override;
    LibraryAccess libraryAccess() const { return hold_.access(); }
    QString libraryStatus() const { return hold_.status(); }
    QString membersProblem() const { return membersProblem_; }
    bool writable() const override { return hold_.writable(); }
    QString notice() const { return notice_; }
    QVariantList unreadableServices() const;
    QString servicesProblem() const;
    // Shows a failure to the operator until dismissed or replaced by the next one.
    void showNotice(const QString& text);
    Q_INVOKABLE void dismissNotice();

    // ---- Derived values

    const Member* findMember(const std::string& id) const override;
    const Service* findService(const std::string& id) const override;
    int recognisableCount() const;
    int minGoodPhotos() const { return Member::minGoodPhotos; }
    std::vector<Member> needsAttention() const;
    QStringList needsAttentionIDs() const;
    // <library root>/services/<service id>/<file>; none without a file name.
    std::optional<std::filesystem::path> evidencePath(const Service& service,
                                                      const std::optional<std::string>& file) const;

    Q_INVOKABLE QVariantMap member(const QString& id) const;
    Q_INVOKABLE QVariantMap service(const QString& id) const;
    Q_INVOKABLE QUrl evidenceURL(const QString& serviceID, const QString& file) const;
    // The member's face thumbnail file (it may not exist yet).
    Q_INVOKABLE QString thumbnailPath(const QString& memberID) const;

    // ---- Members (each change is saved at once)

    Q_INVOKABLE QString addMember(const QString& name);
    Q_INVOKABLE void rename(const QString& id, const QString& name);
    Q_INVOKABLE void deleteMember(const QString& id);
    Q_INVOKABLE void addPhotos(const QList<QUrl>& files, const QString& id);
    void addPhotos(const std::vector<std::filesystem::path>& files, const std::string& id);
    Q_INVOKABLE void deletePhoto(const QString& photoID, const QString& memberID);
    Q_INVOKABLE void recheck(const QString& id);

    // ---- Services

    // A new service from recording or photo files (the new-service sheet's Start): inserted at
    // the front, saved and enqueued. Returns its id; "" when the library cannot be written.
    Q_INVOKABLE QString createService(const QString& label, const QStringList& paths,
                                      const QString& mode);
    // A service made elsewhere (a finished live session): saved and inserted at the front;
    // false, with the notice saying why, when it cannot be saved.
    bool insertService(const Service& service) override;
    Q_INVOKABLE void enqueue(const QString& id);
    Q_INVOKABLE void cancel(const QString& id);
    Q_INVOKABLE void deleteService(const QString& id);
    // Moves the folder of a service that cannot be read out of the list (kept beside it, not
    // deleted); a failure becomes the notice.
    Q_INVOKABLE void setAsideService(const QString& id);

    // Applies `change` to the service with that id, if there is one, and saves it; when the save
    // fails the list keeps what is stored and the notice says why. Returns whether it was saved.
    bool update(const std::string& id, const std::function<void(Service&)>& change) override;

    // The operator's decision on a member's line of a service's register: "present", "absent",
    // "confirmed", or "restore" for the automatic one. The run's results stay as they are.
    Q_INVOKABLE void correct(const QString& serviceID, const QString& memberID,
                             const QString& decision);
    // Names a visitor as a member; with `addPhoto` the visitor's snapshot also becomes a photo of
    // that member, checked like any other.
    Q_INVOKABLE void nameVisitor(const QString& serviceID, const QString& visitorID,
                                 const QString& memberID, bool addPhoto);

    // Writes the service's register as CSV to `file`; false, with the notice saying why, when it
    // cannot.
    Q_INVOKABLE bool exportRegister(const QString& serviceID, const QUrl& file);
    // Writes the attendance report of every finished service (only those labelled `label` when it
    // is not "") as CSV to `file`, as exportRegister writes a register.
    Q_INVOKABLE bool exportReport(const QUrl& file, const QString& label = {});

    // ---- Live sessions

    // A live session ("camera" with the camera's id and name, or "stream" with the URL), made the
    // current `live` and returned, idle; its service id is taken now. Nothing is written until it
    // finishes. None when the kind is unknown or the library cannot be written.
    Q_INVOKABLE tallymere::LiveSession* startLive(const QString& kind, const QString& value,
                                                  const QString& name = {});
    // A fresh session on the current session's source (after it failed), made current and
    // returned idle; none without a current session or when the library cannot be written.
    Q_INVOKABLE tallymere::LiveSession* retryLive();
    // The video capture devices: {id, name, path}.
    Q_INVOKABLE QVariantList availableCameras() const;

    // Runs `next` on the GUI thread once the engine has loaded or failed to, looking every 0.2 s.
    void whenEngineSettled(std::function<void()> next) { engine_.whenSettled(std::move(next)); }

    // The pool the model's background work runs on.
    QThreadPool& pool() { return pool_; }

Q_SIGNALS:
    // Menu commands and in-window notifications that the screens act on.
    void newService();
    void newMember();
    void gotoMembers();

    void engineChanged();
    void checkingMembersChanged();
    void mislabelWarningsChanged();
    void activeServiceIDChanged();
    void liveChanged();
    void membersChanged();
    void libraryAccessChanged();
    void noticeChanged();
    void servicesRead();
    // A run finished with results (the shell asks for the user's attention).
    void attendanceReady(const QString& serviceID, const QString& label);

private:
    // Announces engineChanged when the recogniser's precision differs from the one last shown.
    void refreshEnginePrecision();
    // ProcessingQueue::Host
    std::vector<Member> runMembers() const override { return members_.records(); }
    std::shared_ptr<OpenLibrary> openLibrary() const override { return library_; }

    void openWritable();
    LiveSession* openLive(LiveSourceKind source);
    // Reads the stored members, keeping why they cannot be used when that is so.
    void loadMembers();
    void repairInterrupted();
    void actOnCommandLine();
    void mergeChecked(const std::string& memberID, const Member& checked);
    // Runs a library operation; a failure becomes the notice. Afterwards the member list shows
    // what is stored. Returns whether the operation succeeded.
    bool changeMembers(const std::function<void(OpenLibrary&)>& operation);
    // Runs `operation`; a failure becomes the notice. Returns whether it succeeded.
    bool attempt(const std::function<void()>& operation);
    // Runs a library operation that gives the changed service, and shows it; a failure becomes
    // the notice and the list keeps what is stored. Returns whether it succeeded.
    bool changeService(const std::string& id,
                       const std::function<Service(OpenLibrary&)>& operation);
    void showMembers();
    void recomputeMislabelWarnings();

    Options config;
    // Declared first, so that it is destroyed last: the work on it uses what follows.
    QThreadPool pool_;
    std::shared_ptr<OpenLibrary> library_;
    LibraryHold hold_;
    QString membersProblem_;
    QString notice_;
    CommandLineOptions options_;
    MemberListModel members_;
    ServiceListModel services_;
    AttendanceOverTime attendance_;
    EngineLoader engine_;
    std::vector<std::string> mislabelWarnings_;
    QPointer<QObject> live_;
    // A session saved or discarded, kept until the next one starts so the page that showed it can
    // still read it.
    QPointer<LiveSession> retiredLive_;
    QString shownPrecision_; // enginePrecision as last announced by engineChanged
    ProcessingQueue queue_;
    MemberChecks checks_;
};

} // namespace tallymere
