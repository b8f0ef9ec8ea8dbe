#include "Workspace.h"

#include "Errors.h"
#include "library/Enroller.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <system_error>
#include <thread>

namespace tallymere::cli {

namespace fs = std::filesystem;

namespace {

// A path given as the library that is there but is not a folder (a file, a device) would show an
// empty library or have folders made beside it.
fs::path libraryFolder(fs::path root) {
    std::error_code ec;
    const auto status = fs::status(root, ec);
    if (fs::exists(status) && !fs::is_directory(status))
        throw CommandError("The library " + root.string() +
                           " is not a folder. Give the library's folder with --library or "
                           "TALLYMERE_LIBRARY.");
    return root;
}

Member& findMember(std::vector<Member>& members, const std::string& id) {
    Member* found = nullptr;
    std::string names;
    int count = 0;
    for (Member& member : members) {
        if (member.id != id) continue;
        if (!found) found = &member;
        names += (count++ ? ", " : "") + member.name;
    }
    if (!found)
        throw CommandError("No member with ID " + id +
                           ". \"tallymere-cli members\" lists the members and their IDs.");
    // Only a hand-edited list holds one id twice; acting on one of them would touch the others'
    // folder too.
    if (count > 1)
        throw CommandError(std::to_string(count) + " members share the ID " + id + " (" + names +
                           "). Give each its own ID in the member list first.");
    return *found;
}

} // namespace

Workspace::Workspace(fs::path root, Use use)
    : library_(libraryFolder(std::move(root)), use == Use::writing) {
    Library::MemberList list = library_.readMembers();
    members_ = std::move(list.members);
    membersProblem_ = std::move(list.problem);
    services_ = library_.loadServices();
}

std::vector<Member>& Workspace::members() {
    if (!membersProblem_.empty()) throw damaged(membersProblem_);
    return members_;
}

CommandError Workspace::damaged(const std::string& problem) const {
    return CommandError(problem +
                        "\nIt is left as it is: mend it or restore it from a backup. "
                        "\"tallymere-cli set-aside-members\" moves it aside and starts an empty "
                        "member list.");
}

void Workspace::reloadServices() {
    services_ = library_.loadServices();
}

int Workspace::repairInterrupted(bool save) {
    int repaired = 0;
    for (Service& service : services_) {
        if (service.status != ServiceStatus::queued && service.status != ServiceStatus::processing)
            continue;
        service.status = ServiceStatus::failed;
        service.message = interruptedMessage;
        ++repaired;
        if (!save) continue;
        try {
            library_.save(service);
        } catch (const std::exception&) {
            // As at the application's start: the record stays as it is on disk.
        }
    }
    return repaired;
}

Member& Workspace::member(const std::string& id) {
    return findMember(members(), id);
}

Service& Workspace::service(const std::string& idOrLatest) {
    if (idOrLatest == "latest") {
        if (services_.empty())
            throw CommandError(
                "There are no services yet. Take attendance with \"tallymere-cli process FILE\".");
        return services_.front();
    }
    for (Service& service : services_)
        if (service.id == idOrLatest) return service;
    throw CommandError("No service with ID " + idOrLatest +
                       ". \"tallymere-cli services\" lists the services and their IDs.");
}

int Workspace::recognisableCount() {
    return static_cast<int>(std::count_if(members().begin(), members().end(),
                                          [](const Member& m) { return m.isRecognisable(); }));
}

std::vector<std::string> Workspace::mislabelWarnings() {
    return Enroller::mislabelWarnings(members(), 0.05f);
}

FaceEngine& Workspace::engine() {
    if (engine_) return *engine_;
    try {
        engine_ = std::make_unique<FaceEngine>();
    } catch (const EngineError& error) {
        throw CommandError(std::string(error.what()) + "\n" + modelsHint);
    } catch (const std::exception& error) {
        throw CommandError("Couldn't load the face models from " +
                           FaceEngine::defaultModelsDirectory().string() + ": " + error.what() +
                           "\n" + modelsHint);
    }
    return *engine_;
}

void Workspace::update(const std::function<void(std::vector<Member>&)>& change) {
    bool read = false;
    try {
        members_ = library_.updateMembers(
            [&](std::vector<Member>& members) {
                read = true;
                change(members);
            },
            [] {
                std::cerr << "Waiting for another program to finish changing the member list\n";
            });
        membersProblem_.clear();
    } catch (const CommandError&) {
        throw;
    } catch (const std::exception& error) {
        if (read)
            throw CommandError("Couldn't save the member list in " + library_.root().string() +
                               ": " + error.what());
        const Library::MemberList list = library_.readMembers();
        if (!list.readable()) throw damaged(list.problem);
        throw CommandError(error.what());
    }
}

Member Workspace::addMember(const std::string& name) {
    Member member;
    member.name = name;
    member.created = std::chrono::system_clock::now();
    fs::path folder;
    bool made = false;
    try {
        update([&](std::vector<Member>& members) {
            member.id = library_.nextMemberID(members);
            folder = library_.membersDir() / member.id;
            made = library_.createMemberFolder(member.id);
            members.push_back(member);
        });
    } catch (...) {
        // A member that was not added leaves no folder behind.
        std::error_code ignored;
        if (made) fs::remove(folder, ignored);
        throw;
    }
    return member;
}

void Workspace::rename(const std::string& id, const std::string& name) {
    update([&](std::vector<Member>& members) { findMember(members, id).name = name; });
}

Member Workspace::removeMember(const std::string& id) {
    Member removed;
    update([&](std::vector<Member>& members) {
        removed = findMember(members, id);
        std::erase_if(members, [&](const Member& m) { return m.id == id; });
    });
    // Only once the list no longer names the member do their photos go.
    library_.deleteMemberFiles(id);
    return removed;
}

std::vector<Photo> Workspace::addPhotos(const std::string& id, const std::vector<fs::path>& files) {
    member(id);
    std::vector<Photo> photos;
    try {
        photos = library_.importPhotos(files, id);
    } catch (const std::exception& error) {
        throw CommandError("Couldn't copy the photos into " +
                           (library_.membersDir() / id).string() + ": " + error.what());
    }
    try {
        update([&](std::vector<Member>& members) {
            Member& target = findMember(members, id);
            target.photos.insert(target.photos.end(), photos.begin(), photos.end());
        });
    } catch (...) {
        // Copies that no record names are taken out again.
        for (const Photo& photo : photos)
            library_.deletePhotoFile(id, photo.id);
        throw;
    }
    return photos;
}

void Workspace::removePhoto(const std::string& id, const std::string& photoID) {
    update([&](std::vector<Member>& members) {
        Member& target = findMember(members, id);
        const auto removed =
            std::erase_if(target.photos, [&](const Photo& photo) { return photo.id == photoID; });
        if (removed == 0)
            throw CommandError("Member " + id + " has no photo " + photoID +
                               ". \"tallymere-cli members " + id + "\" lists their photos.");
    });
    library_.deletePhotoFile(id, photoID);
}

Member Workspace::recheck(const std::string& id) {
    FaceEngine& faces = engine();
    Library::MemberList list = library_.readMembers();
    if (!list.readable()) throw damaged(list.problem);
    std::vector<Member> stored = std::move(list.members);
    const Member checked = Enroller(faces, library_).check(findMember(stored, id));
    // The check takes a while; the member list may have changed meanwhile. The result goes into
    // the list as it is now: the checked photos that are still there, then the photos added
    // since. A rename or another member's change made meanwhile stays.
    Member saved;
    update([&](std::vector<Member>& members) {
        Member& current = findMember(members, id);
        std::vector<Photo> photos;
        for (const Photo& photo : checked.photos) {
            const bool kept = std::any_of(current.photos.begin(), current.photos.end(),
                                          [&](const Photo& p) { return p.id == photo.id; });
            if (kept) photos.push_back(photo);
        }
        for (const Photo& photo : current.photos) {
            const bool seen = std::any_of(checked.photos.begin(), checked.photos.end(),
                                          [&](const Photo& p) { return p.id == photo.id; });
            if (!seen) photos.push_back(photo);
        }
        current.photos = std::move(photos);
        saved = current;
    });
    return saved;
}

LibraryLock writeAccess(const fs::path& root) {
    using Range = LibraryLock::Range;
    using Kind = LibraryLock::Kind;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        try {
            if (auto lock = LibraryLock::tryAcquire(root, Range::library, Kind::shared))
                return std::move(*lock);
        } catch (const LibraryError& error) {
            throw CommandError(error.what());
        }
        const auto holder = LibraryLock::recordedHolder(root);
        if (holder && holder->program == LibraryLock::applicationName)
            throw CommandError("The library is open in " + holder->description() +
                               ". Close Tallymere to change the library from the command line; "
                               "reading commands work meanwhile.");
        if (std::chrono::steady_clock::now() > deadline)
            throw CommandError("The library " + root.string() +
                               " is busy in another program. Try again in a moment.");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

} // namespace tallymere::cli
