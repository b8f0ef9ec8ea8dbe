#pragma once

#include "library/Library.h"
#include "library/LibraryError.h"
#include "library/Records.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tallymere {

// A library opened by one program: the store, the members and services as last loaded or saved,
// and every member and service operation. Both the application and the command-line tool act on
// the library through this, so each operation, its rules and its texts exist once.
//
// Each member operation is one read-modify-write of the stored list under the library's member
// lock (another program's changes made meanwhile are kept); each service operation writes that
// service's record. Afterwards members() and services() are what is stored. A failure raises
// LibraryError with the text to show and leaves the lists as stored: a change that could not be
// saved is never shown as made.
class OpenLibrary {
public:
    static constexpr const char* interruptedMessage =
        "Interrupted when the app closed. Choose Process again.";

    // How a program uses the library: a reader changes nothing, not even by making the library's
    // folders.
    enum class Use { reading, writing };

    // Opens the library at `root` (creating its folders when writing) and loads members and
    // services. A `root` that exists but is not a folder is a LibraryError. A member list that
    // cannot be used is kept as membersProblem(); members() is then empty.
    explicit OpenLibrary(std::filesystem::path root, Use use = Use::writing);
    OpenLibrary(const OpenLibrary&) = delete;
    OpenLibrary& operator=(const OpenLibrary&) = delete;

    Library& library() { return library_; }
    const Library& library() const { return library_; }
    const std::vector<Member>& members() const { return members_; }
    // Why the stored member list cannot be used; empty when it can.
    const std::string& membersProblem() const { return membersProblem_; }
    const std::vector<Service>& services() const { return services_; }
    // Service folders whose record cannot be used, with why, newest first; and why the services
    // folder itself cannot be read (empty when it can).
    const std::vector<Library::UnreadableService>& unreadableServices() const {
        return unreadable_;
    }
    const std::string& servicesProblem() const { return servicesProblem_; }

    // Reads members and services again (another program may have changed them).
    void reload();
    void reloadServices();

    // Called once when a member operation has to wait for another program's change.
    void setOnWait(std::function<void()> onWait) { onWait_ = std::move(onWait); }

    // The member or service with that id; none when there is none. A service may be named
    // "latest": the newest.
    const Member* findMember(const std::string& id) const;
    const Service* findService(const std::string& idOrLatest) const;
    // The same, or a LibraryError (kind unknownMember or unknownService, damagedMembers while the
    // stored list cannot be used; for a member id that several members share, a general one
    // naming them). A service whose record cannot be read is unreadableService with why; so is
    // "latest" when such a service may be newer than every readable one (folders are named by
    // their creation time), rather than an older one standing in for it.
    const Member& member(const std::string& id) const;
    const Service& service(const std::string& idOrLatest) const;

    int recognisableCount() const;
    // The members that need more photos (fewer than Member::minGoodPhotos good ones), in list
    // order, leaving out those `skip` says are being checked.
    std::vector<Member> needingPhotos(const std::function<bool(const Member&)>& skip = {}) const;

    // ---- Members

    // A member named `name` (spaces and tabs trimmed) with a folder of their own holding copies
    // of the image files among `files`, unchecked; returns it. All or nothing: when a photo
    // cannot be copied, no member is added, no file is left and the error names the photo. A name
    // that is not valid UTF-8 is refused before anything is written ("The name is not valid
    // text."), for rename too.
    Member addMember(const std::string& name, const std::vector<std::filesystem::path>& files = {});
    void rename(const std::string& id, const std::string& name);
    // Removes the member and their folder; returns the removed member. When something in the
    // folder cannot be deleted, the error names it and the member stays, with every file.
    Member removeMember(const std::string& id);
    // Imports the photos into the member's folder and appends them unchecked; returns them. When
    // one cannot be copied, those copied before it are kept and saved, and the error names the
    // failed one.
    std::vector<Photo> addPhotos(const std::string& id,
                                 const std::vector<std::filesystem::path>& files);
    // Refuses a photo id that the member's list holds twice (only a hand edit makes that).
    void removePhoto(const std::string& id, const std::string& photoID);
    // Merges an enrolment check's result into the member as stored now: the checked photos that
    // are still there (a photo removed while the check ran stays removed), then the photos added
    // since, unchecked. A rename or another member's change made meanwhile stays. Returns the
    // member as saved.
    Member mergeChecked(const std::string& id, const Member& checked);

    // ---- Services

    // Saves a new service and lists it first.
    void addService(const Service& service);
    // Applies `change` to the service with that id and saves it; returns it as saved.
    Service updateService(const std::string& id, const std::function<void(Service&)>& change);
    // Removes the service with its folder and snapshots; when something there cannot be
    // deleted, the error names it and the service stays, whole.
    void removeService(const std::string& id);
    // Moves the folder of a service that cannot be read aside (Library::setAsideService); returns
    // where.
    std::filesystem::path setAsideService(const std::string& id);
    // The start-up repair, for a program that holds the library: every service left `queued` or
    // `processing` becomes `failed` with the interrupted message and is saved; with `save` false
    // only the loaded list shows it, for a reader. The list shows every one repaired; a record
    // that cannot be saved stays as it is on disk until the next start. Returns how many.
    int repairInterrupted(bool save = true);

    // ---- The operator's corrections to a register (saved with the service, beside its results,
    // which they never change). `serviceID` may be "latest". A service without results, a member
    // who is not on its register (one enrolled after it was processed is not) or a visitor it
    // does not have is a LibraryError; nothing is then saved. Each returns the service as saved.

    // Records the operator's decision about a member's line, replacing an earlier one.
    Service decide(const std::string& serviceID, const std::string& memberID,
                   MemberCorrection::Decision decision);
    // Takes back the decision about a member's line and every visitor named as that member: the
    // line reads as the run left it.
    Service restoreAutomatic(const std::string& serviceID, const std::string& memberID);
    // Names a visitor as a member on the register: the visitor leaves the estimate and the member
    // is present (marked present unless the run found them).
    Service nameVisitor(const std::string& serviceID, const std::string& visitorID,
                        const std::string& memberID);
    // Imports the snapshot of a visitor named as a member as a new, unchecked photo of that
    // member; returns it.
    std::vector<Photo> addVisitorPhoto(const std::string& serviceID, const std::string& visitorID);

private:
    // The service to correct (one with results), and the check that a member is on its register.
    const Service& correctable(const std::string& serviceID) const;
    void requireOnRegister(const Service& service, const std::string& memberID) const;
    void updateMembers(const std::function<void(std::vector<Member>&)>& change);
    void saveService(const Service& service) const;
    Service* listed(const std::string& id);

    Library library_;
    std::vector<Member> members_;
    std::string membersProblem_;
    std::vector<Service> services_;
    std::vector<Library::UnreadableService> unreadable_;
    std::string servicesProblem_;
    std::function<void()> onWait_;
};

// Names lose leading and trailing spaces and tabs; line breaks are the user's own.
std::string trimmedName(const std::string& name);

} // namespace tallymere
