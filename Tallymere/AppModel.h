#pragma once

#include "CancelFlags.h"
#include "CommandLineOptions.h"
#include "LiveSession.h"
#include "MemberListModel.h"
#include "ServiceListModel.h"
#include "library/LibraryLock.h"
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

// The one object the whole application shares: the library, the members and services, the face
// engine once it has loaded, the processing queue, the members being re-checked, the mislabel
// warnings and the current live session. Everything here lives on the GUI thread; slow work runs
// on the model's thread pool and comes back as queued calls that find the model gone or not.
//
// The library is shared with the command-line tool and possibly a second window of the
// application, so the model holds the library's lock for its whole life: until it has the lock it
// writes nothing (it waits for a tool command to finish, or shows a library that another
// Tallymere has open read-only).
class AppModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("One application model is made at start-up.")

    Q_PROPERTY(QString libraryRoot READ libraryRoot CONSTANT)
    Q_PROPERTY(tallymere::MemberListModel* members READ memberList CONSTANT)
    Q_PROPERTY(tallymere::ServiceListModel* services READ serviceList CONSTANT)
    Q_PROPERTY(tallymere::CommandLineOptions* options READ options CONSTANT)
    Q_PROPERTY(bool engineReady READ engineReady NOTIFY engineChanged)
    // The engine's error text once loading failed, else "".
    Q_PROPERTY(QString engineError READ engineErrorText NOTIFY engineChanged)
    Q_PROPERTY(QStringList checkingMembers READ checkingMemberIDs NOTIFY checkingMembersChanged)
    Q_PROPERTY(
        QStringList mislabelWarnings READ mislabelWarningTexts NOTIFY mislabelWarningsChanged)
    // The service being processed, "" when none.
    Q_PROPERTY(QString activeServiceID READ activeServiceIDText NOTIFY activeServiceIDChanged)
    // The current live controller; set and cleared by the live operations.
    Q_PROPERTY(QObject* live READ live NOTIFY liveChanged)
    Q_PROPERTY(int recognisableCount READ recognisableCount NOTIFY membersChanged)
    // Ids of the members, in list order, not being checked and with fewer than 3 good photos.
    Q_PROPERTY(QStringList needsAttention READ needsAttentionIDs NOTIFY membersChanged)
    Q_PROPERTY(LibraryAccess libraryAccess READ libraryAccess NOTIFY libraryAccessChanged)
    // What the window says about the library while it cannot write it; "" when it can.
    Q_PROPERTY(QString libraryStatus READ libraryStatus NOTIFY libraryAccessChanged)
    // Why the stored member list cannot be used (it is then shown empty and never saved over);
    // empty when it is fine.
    Q_PROPERTY(QString membersProblem READ membersProblem NOTIFY membersChanged)
    Q_PROPERTY(bool writable READ writable NOTIFY libraryAccessChanged)
    // The last failure the operator has not dismissed (a save, an import, an export, the face
    // models), in the library's or engine's own words; "" when there is none.
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)

public:
    // Whether this program may write the library.
    enum class LibraryAccess {
        waiting,  // a command-line tool is writing it; the model takes it when it finishes
        writable, // the model holds the library
        readOnly, // another Tallymere has it open; shown, never written
    };
    Q_ENUM(LibraryAccess)

    static constexpr const char* interruptedMessage = OpenLibrary::interruptedMessage;
    static constexpr const char* waitingForToolMessage =
        "Waiting for tallymere-cli to finish with the library\u2026";

    struct Options {
        std::filesystem::path root; // the library folder (the application: Library::defaultRoot)
        QStringList arguments;      // the command line, without the program's name
        // The face models folder; none searches the default places.
        std::optional<std::filesystem::path> modelsDirectory;
        // How often a model that cannot write yet looks at the library's lock again.
        int lockPollMilliseconds = 200;
    };

    explicit AppModel(Options options, QObject* parent = nullptr);
    ~AppModel() override;

    // ---- Fields

    QString libraryRoot() const;
    const Library& library() const { return library_->library(); }
    // For a live session, which writes its finished service's files itself.
    Library& writableLibrary() { return library_->library(); }
    MemberListModel* memberList() { return &members_; }
    ServiceListModel* serviceList() { return &services_; }
    CommandLineOptions* options() { return &options_; }
    const std::vector<Member>& memberRecords() const { return members_.records(); }
    const std::vector<Service>& serviceRecords() const { return services_.records(); }
    std::shared_ptr<FaceEngine> engine() const { return engine_; }
    const std::optional<std::string>& engineError() const { return engineError_; }
    bool engineReady() const { return engine_ != nullptr; }
    QString engineErrorText() const;
    const std::set<std::string>& checkingMembers() const { return checking_; }
    QStringList checkingMemberIDs() const;
    const std::vector<std::string>& mislabelWarnings() const { return mislabelWarnings_; }
    QStringList mislabelWarningTexts() const;
    const std::optional<std::string>& activeServiceID() const { return activeServiceID_; }
    QString activeServiceIDText() const;
    QObject* live() const { return live_; }
    // Set by the live operations; the model does not own the controller's lifetime otherwise.
    void setLive(QObject* controller);
    LibraryAccess libraryAccess() const { return access_; }
    QString libraryStatus() const { return libraryStatus_; }
    QString membersProblem() const { return membersProblem_; }
    bool writable() const { return access_ == LibraryAccess::writable; }
    QString notice() const { return notice_; }
    // Shows a failure to the operator until dismissed or replaced by the next one.
    void showNotice(const QString& text);
    Q_INVOKABLE void dismissNotice();

    // ---- Derived values

    const Member* findMember(const std::string& id) const;
    const Service* findService(const std::string& id) const;
    int recognisableCount() const;
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
    bool insertService(const Service& service);
    Q_INVOKABLE void enqueue(const QString& id);
    Q_INVOKABLE void cancel(const QString& id);
    Q_INVOKABLE void deleteService(const QString& id);

    // Applies `change` to the service with that id, if there is one, and saves it; when the save
    // fails the list keeps what is stored and the notice says why. Returns whether it was saved.
    bool update(const std::string& id, const std::function<void(Service&)>& change);

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

    // ---- Live sessions

    // A live session ("camera" with the camera's id and name, or "stream" with the URL), made the
    // current `live` and returned, idle; its service id is taken now. Nothing is written until it
    // finishes. None when the kind is unknown or the library cannot be written.
    Q_INVOKABLE tallymere::LiveSession* startLive(const QString& kind, const QString& value,
                                                  const QString& name = {});
    // The video capture devices: {id, name, path}.
    Q_INVOKABLE QVariantList availableCameras() const;

    // Runs `next` on the GUI thread once the engine has loaded or failed to, looking every 0.2 s.
    void whenEngineSettled(std::function<void()> next);

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
    // A run finished with results (the shell asks for the user's attention).
    void attendanceReady(const QString& serviceID, const QString& label);

private:
    void tryTakeLibrary();
    void openWritable();
    // Reads the stored members, keeping why they cannot be used when that is so.
    void loadMembers();
    void setAccess(LibraryAccess access, QString status);
    void repairInterrupted();
    void actOnCommandLine();
    void startEngine();
    void waitForEngine(std::function<void()> next);
    void runNext();
    void startRun(const std::string& id);
    void finishRun(const std::string& id, std::optional<ServiceResults> results,
                   const std::optional<std::string>& failure);
    void mergeChecked(const std::string& memberID, const Member& checked);
    // Runs a library operation; a failure becomes the notice. Afterwards the member list shows
    // what is stored. Returns whether the operation succeeded.
    bool changeMembers(const std::function<void(OpenLibrary&)>& operation);
    void showMembers();
    void recomputeMislabelWarnings();
    void setChecking(const std::string& id, bool checking);
    void setActive(std::optional<std::string> id);
    // Queues `work` on the GUI thread, dropped when the model has gone meanwhile. Callable from
    // any thread.
    static void post(const QPointer<AppModel>& model, std::function<void(AppModel&)> work);

    Options config;
    std::shared_ptr<OpenLibrary> library_;
    std::optional<LibraryLock> lock_;
    QTimer lockPoll;
    bool waitedForLock = false; // the lists were loaded before the lock was ours
    bool lockError = false;     // the lock file cannot be used; the model stays a reader
    LibraryAccess access_ = LibraryAccess::waiting;
    QString libraryStatus_;
    QString membersProblem_;
    QString notice_;
    CommandLineOptions options_;
    MemberListModel members_;
    ServiceListModel services_;
    std::shared_ptr<FaceEngine> engine_;
    std::optional<std::string> engineError_;
    bool engineStarted = false;
    std::set<std::string> checking_;
    std::map<std::string, int> checksRunning; // checks of each member still going
    std::vector<std::string> mislabelWarnings_;
    std::optional<std::string> activeServiceID_;
    QPointer<QObject> live_;
    // A session saved or discarded, kept until the next one starts so the page that showed it can
    // still read it.
    QPointer<LiveSession> retiredLive_;
    std::vector<std::string> queue_;
    std::shared_ptr<CancelFlags> cancelFlags_ = std::make_shared<CancelFlags>();
    QThreadPool pool_;
};

} // namespace tallymere
