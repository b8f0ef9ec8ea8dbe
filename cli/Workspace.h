#pragma once

#include "Errors.h"
#include "engine/FaceEngine.h"
#include "library/Library.h"
#include "library/LibraryLock.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallymere::cli {

// What the application's model holds for one command: the library, the members and services as
// loaded, and the face engine once a command needs it. Member operations change the lists and
// write them at once, as the application does.
class Workspace {
public:
    static constexpr const char* interruptedMessage =
        "Interrupted when the app closed. Choose Process again.";

    // How a command uses the library: a reading command changes nothing, not even by making
    // the library's folders.
    enum class Use { reading, writing };

    // Opens the library at `root` (creating its folders when writing) and loads members and
    // services. A `root` that exists but is not a folder is a CommandError. A member list that
    // cannot be used is kept as a problem: members() reports it.
    explicit Workspace(std::filesystem::path root, Use use = Use::writing);

    Library& library() { return library_; }
    // The members; a CommandError naming the file and what is wrong with it when the member
    // list cannot be used.
    std::vector<Member>& members();
    std::vector<Service>& services() { return services_; }

    // Reloads the services (after waiting for the lock, another process may have changed them).
    void reloadServices();

    // The start-up repair, for a caller holding the library's lock: every service left `queued`
    // or `processing` becomes `failed` with the interrupted message and is saved (failures to
    // save are ignored, as at the application's start); with `save` false only the loaded list
    // shows it, for a reading command. Returns how many were repaired.
    int repairInterrupted(bool save = true);

    // The member or service with that id, or a CommandError saying how to find the right one
    // (or that several members share the id). A service may be named "latest": the newest.
    Member& member(const std::string& id);
    Service& service(const std::string& idOrLatest);

    int recognisableCount();
    std::vector<std::string> mislabelWarnings();

    // The engine, loaded on first use. A missing models folder is a CommandError with the
    // engine's text and, on a second line, how to get the models.
    FaceEngine& engine();

    // ---- Member operations. Each is one read-modify-write of the stored list under the
    // library's member lock (another program's changes made meanwhile are kept), after which
    // members() is the list as saved. A save that fails is a CommandError.

    Member addMember(const std::string& name);
    void rename(const std::string& id, const std::string& name);
    // Removes the member and their folder; returns the removed member.
    Member removeMember(const std::string& id);
    // Imports the photos into the member's folder and appends them unchecked; returns them.
    std::vector<Photo> addPhotos(const std::string& id,
                                 const std::vector<std::filesystem::path>& files);
    void removePhoto(const std::string& id, const std::string& photoID);
    // Runs the enrolment check on the member as stored now, then merges the result into the
    // member as stored after it: the checked photos still there, then any photo the check did
    // not see. Returns the member as saved.
    Member recheck(const std::string& id);

private:
    // One read-modify-write of the member list (Library::updateMembers) with the tool's errors.
    void update(const std::function<void(std::vector<Member>&)>& change);
    // The CommandError for a member list that cannot be used, with how to go on.
    CommandError damaged(const std::string& problem) const;

    Library library_;
    std::vector<Member> members_;
    std::string membersProblem_;
    std::vector<Service> services_;
    std::unique_ptr<FaceEngine> engine_;
};

// The library's write access for a command that changes it, held for as long as the command runs:
// tool commands share it with each other, and the application, which holds the library for its
// whole life, excludes them. While the application has the library this refuses at once with a
// CommandError naming it; a moment's exclusive hold by another tool's repair is waited out.
LibraryLock writeAccess(const std::filesystem::path& root);

// The second line of the models-missing message.
inline constexpr const char* modelsHint =
    "Get the face models with scripts/get-models (from the source folder), or set "
    "ATTENDANCE_MODELS to a folder that holds them.";

} // namespace tallymere::cli
