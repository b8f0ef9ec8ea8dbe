#include "Workspace.h"

#include "Errors.h"
#include "library/Enroller.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

namespace tallymere::cli {

namespace fs = std::filesystem;

Workspace::Workspace(fs::path root) : library_(std::move(root)) {
    members_ = library_.loadMembers();
    services_ = library_.loadServices();
}

void Workspace::reloadServices() {
    services_ = library_.loadServices();
}

int Workspace::repairInterrupted() {
    int repaired = 0;
    for (Service& service : services_) {
        if (service.status != ServiceStatus::queued && service.status != ServiceStatus::processing)
            continue;
        service.status = ServiceStatus::failed;
        service.message = interruptedMessage;
        try {
            library_.save(service);
        } catch (const std::exception&) {
            // As at the application's start: the record stays as it is on disk.
        }
        ++repaired;
    }
    return repaired;
}

Member& Workspace::member(const std::string& id) {
    for (Member& member : members_)
        if (member.id == id) return member;
    throw CommandError("No member with ID " + id +
                       ". \"tallymere-cli members\" lists the members and their IDs.");
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

int Workspace::recognisableCount() const {
    return static_cast<int>(std::count_if(members_.begin(), members_.end(),
                                          [](const Member& m) { return m.isRecognisable(); }));
}

std::vector<std::string> Workspace::mislabelWarnings() const {
    return Enroller::mislabelWarnings(members_, 0.05f);
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

void Workspace::saveMembers() {
    try {
        library_.saveMembers(members_);
    } catch (const std::exception& error) {
        throw CommandError("Couldn't save the member list in " + library_.root().string() + ": " +
                           error.what());
    }
}

Member Workspace::addMember(const std::string& name) {
    Member member;
    member.id = library_.nextMemberID(members_);
    member.name = name;
    member.created = std::chrono::system_clock::now();
    std::error_code ignored;
    fs::create_directories(library_.membersDir() / member.id, ignored);
    members_.push_back(member);
    try {
        saveMembers();
    } catch (...) {
        members_.pop_back();
        throw;
    }
    return member;
}

void Workspace::rename(const std::string& id, const std::string& name) {
    member(id).name = name;
    saveMembers();
}

Member Workspace::removeMember(const std::string& id) {
    Member removed = member(id);
    std::erase_if(members_, [&](const Member& m) { return m.id == id; });
    library_.deleteMemberFiles(id);
    saveMembers();
    return removed;
}

std::vector<Photo> Workspace::addPhotos(const std::string& id, const std::vector<fs::path>& files) {
    Member& target = member(id);
    std::vector<Photo> photos;
    try {
        photos = library_.importPhotos(files, id);
    } catch (const std::exception& error) {
        throw CommandError("Couldn't copy the photos into " +
                           (library_.membersDir() / id).string() + ": " + error.what());
    }
    target.photos.insert(target.photos.end(), photos.begin(), photos.end());
    saveMembers();
    return photos;
}

void Workspace::removePhoto(const std::string& id, const std::string& photoID) {
    Member& target = member(id);
    const auto removed =
        std::erase_if(target.photos, [&](const Photo& photo) { return photo.id == photoID; });
    if (removed == 0)
        throw CommandError("Member " + id + " has no photo " + photoID +
                           ". \"tallymere-cli members " + id + "\" lists their photos.");
    std::error_code ignored;
    fs::remove(library_.photoURL(id, photoID), ignored);
    saveMembers();
}

Member Workspace::recheck(const std::string& id) {
    FaceEngine& faces = engine();
    const Member checked = Enroller(faces, library_).check(member(id));
    // The member may have changed while the check ran; keep the photos it did not see.
    Member& current = member(id);
    std::vector<Photo> photos = checked.photos;
    for (const Photo& photo : current.photos) {
        const bool seen = std::any_of(checked.photos.begin(), checked.photos.end(),
                                      [&](const Photo& p) { return p.id == photo.id; });
        if (!seen) photos.push_back(photo);
    }
    current.photos = std::move(photos);
    saveMembers();
    return current;
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
