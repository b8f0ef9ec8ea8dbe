#include "library/OpenLibrary.h"

#include "library/Service.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <system_error>

namespace tallymere {

namespace fs = std::filesystem;

namespace {

// A path given as the library that is there but is not a folder (a file, a device) would show an
// empty library or have folders made beside it.
fs::path libraryFolder(fs::path root) {
    std::error_code ec;
    const auto status = fs::status(root, ec);
    if (fs::exists(status) && !fs::is_directory(status))
        throw LibraryError("The library " + root.string() + " is not a folder.",
                           LibraryError::Kind::notALibrary);
    return root;
}

template <typename Members>
auto& findOne(Members& members, const std::string& id) {
    decltype(&members.front()) found = nullptr;
    std::string names;
    int count = 0;
    for (auto& member : members) {
        if (member.id != id) continue;
        if (!found) found = &member;
        names += (count++ ? ", " : "") + member.name;
    }
    if (!found)
        throw LibraryError("No member with ID " + id + ".", LibraryError::Kind::unknownMember);
    // Only a hand-edited list holds one id twice; acting on one of them would touch the others'
    // folder too.
    if (count > 1)
        throw LibraryError(std::to_string(count) + " members share the ID " + id + " (" + names +
                           "). Give each its own ID in the member list first.");
    return *found;
}

// A name is saved as JSON text; one that is not UTF-8 could never be saved.
std::string checkedName(const std::string& name) {
    if (!isUTF8(name)) throw LibraryError("The name is not valid text.");
    return trimmedName(name);
}

bool hasPhoto(const std::vector<Photo>& photos, const std::string& id) {
    return std::any_of(photos.begin(), photos.end(), [&](const Photo& p) { return p.id == id; });
}

} // namespace

std::string trimmedName(const std::string& name) {
    const auto first = name.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = name.find_last_not_of(" \t");
    return name.substr(first, last - first + 1);
}

OpenLibrary::OpenLibrary(fs::path root, Use use)
    : library_(libraryFolder(std::move(root)), use == Use::writing) {
    reload();
}

void OpenLibrary::reload() {
    Library::MemberList list = library_.readMembers();
    members_ = std::move(list.members);
    membersProblem_ = std::move(list.problem);
    reloadServices();
}

void OpenLibrary::reloadServices() {
    Library::ServiceList list = library_.readServices();
    services_ = std::move(list.services);
    unreadable_ = std::move(list.unreadable);
    servicesProblem_ = std::move(list.problem);
}

const Member* OpenLibrary::findMember(const std::string& id) const {
    for (const Member& member : members_)
        if (member.id == id) return &member;
    return nullptr;
}

const Service* OpenLibrary::findService(const std::string& idOrLatest) const {
    if (idOrLatest == "latest") return services_.empty() ? nullptr : &services_.front();
    for (const Service& service : services_)
        if (service.id == idOrLatest) return &service;
    return nullptr;
}

const Member& OpenLibrary::member(const std::string& id) const {
    // With a list that cannot be used, "no such member" would be a wrong answer.
    if (!membersProblem_.empty())
        throw LibraryError(membersProblem_, LibraryError::Kind::damagedMembers);
    return findOne(members_, id);
}

const Service& OpenLibrary::service(const std::string& idOrLatest) const {
    if (!servicesProblem_.empty())
        throw LibraryError(servicesProblem_, LibraryError::Kind::unreadableService);
    const Service* found = findService(idOrLatest);
    for (const Library::UnreadableService& unreadable : unreadable_) {
        // Service folders are named by their creation time: one that cannot be read and sorts
        // after the newest readable one may be the latest.
        const bool newer = idOrLatest == "latest" && (!found || unreadable.id > found->id);
        if (newer || unreadable.id == idOrLatest)
            throw LibraryError(unreadable.problem, LibraryError::Kind::unreadableService);
    }
    if (found) return *found;
    if (idOrLatest == "latest")
        throw LibraryError("There are no services yet.", LibraryError::Kind::noServices);
    throw LibraryError("No service with ID " + idOrLatest + ".",
                       LibraryError::Kind::unknownService);
}

int OpenLibrary::recognisableCount() const {
    return static_cast<int>(std::count_if(members_.begin(), members_.end(),
                                          [](const Member& m) { return m.isRecognisable(); }));
}

std::vector<Member>
OpenLibrary::needingPhotos(const std::function<bool(const Member&)>& skip) const {
    std::vector<Member> found;
    for (const Member& member : members_)
        if (member.needsMorePhotos() && !(skip && skip(member))) found.push_back(member);
    return found;
}

// ---- Members

void OpenLibrary::updateMembers(const std::function<void(std::vector<Member>&)>& change) {
    try {
        members_ = library_.updateMembers(
            [&](std::vector<Member>& members) {
                try {
                    change(members);
                } catch (const LibraryError&) {
                    throw;
                } catch (const std::exception& error) {
                    throw LibraryError(error.what());
                }
            },
            onWait_);
        membersProblem_.clear();
    } catch (const LibraryError&) {
        // The change's own text, a damaged list's, or the save's, each one sentence naming the
        // file; the lists show what is stored.
        reload();
        throw;
    } catch (const std::exception& error) {
        reload();
        throw LibraryError("Couldn't save the member list in " + library_.root().string() + ": " +
                           error.what());
    }
}

Member OpenLibrary::addMember(const std::string& name, const std::vector<fs::path>& files) {
    Member member;
    member.name = checkedName(name);
    member.created = std::chrono::system_clock::now();
    fs::path folder;
    bool made = false;
    try {
        updateMembers([&](std::vector<Member>& members) {
            member.id = library_.nextMemberID(members);
            folder = library_.membersDir() / member.id;
            made = library_.createMemberFolder(member.id);
            if (!files.empty()) member.photos = library_.importPhotos(files, member.id);
            members.push_back(member);
        });
    } catch (...) {
        // A member that was not added leaves no folder and no photo behind.
        std::error_code ignored;
        if (made) fs::remove_all(folder, ignored);
        throw;
    }
    return member;
}

void OpenLibrary::rename(const std::string& id, const std::string& name) {
    const std::string checked = checkedName(name);
    updateMembers([&](std::vector<Member>& members) { findOne(members, id).name = checked; });
}

Member OpenLibrary::removeMember(const std::string& id) {
    Member removed;
    updateMembers([&](std::vector<Member>& members) {
        removed = findOne(members, id);
        // Checked before the list changes: a folder that cannot go keeps its member listed.
        library_.checkMemberFolderRemovable(id);
        std::erase_if(members, [&](const Member& m) { return m.id == id; });
    });
    // Only once the list no longer names the member do their photos go.
    try {
        library_.removeMemberFolder(id);
    } catch (const LibraryError& error) {
        throw LibraryError(
            id + " was removed from the member list, but not all of their files: " + error.what());
    }
    return removed;
}

std::vector<Photo> OpenLibrary::addPhotos(const std::string& id,
                                          const std::vector<fs::path>& files) {
    member(id);
    // One at a time, so that the photos copied before a failure are kept.
    std::vector<Photo> photos;
    std::optional<LibraryError> failure;
    for (const fs::path& file : files) {
        try {
            for (Photo& photo : library_.importPhotos({file}, id))
                photos.push_back(std::move(photo));
        } catch (const LibraryError& error) {
            failure = error;
            break;
        }
    }
    if (!photos.empty()) {
        try {
            updateMembers([&](std::vector<Member>& members) {
                Member& target = findOne(members, id);
                target.photos.insert(target.photos.end(), photos.begin(), photos.end());
            });
        } catch (...) {
            // Copies that no record names are taken out again.
            for (const Photo& photo : photos)
                library_.deletePhotoFile(id, photo.id);
            throw;
        }
    }
    if (failure) {
        if (photos.empty()) throw *failure;
        throw LibraryError(std::string(failure->what()) + " The " +
                           (photos.size() == 1 ? std::string("photo")
                                               : std::to_string(photos.size()) + " photos") +
                           " before it " + (photos.size() == 1 ? "was" : "were") + " added.");
    }
    return photos;
}

void OpenLibrary::removePhoto(const std::string& id, const std::string& photoID) {
    updateMembers([&](std::vector<Member>& members) {
        Member& target = findOne(members, id);
        const auto shared = std::count_if(target.photos.begin(), target.photos.end(),
                                          [&](const Photo& photo) { return photo.id == photoID; });
        // Only a hand-edited list holds one photo id twice; both records name one file.
        if (shared > 1)
            throw LibraryError(std::to_string(shared) + " photos of " + id + " share the ID " +
                               photoID + ". Give each its own ID in the member list first.");
        const auto removed =
            std::erase_if(target.photos, [&](const Photo& photo) { return photo.id == photoID; });
        if (removed == 0)
            throw LibraryError("Member " + id + " has no photo " + photoID + ".",
                               LibraryError::Kind::unknownPhoto);
    });
    library_.deletePhotoFile(id, photoID);
}

Member OpenLibrary::mergeChecked(const std::string& id, const Member& checked) {
    Member saved;
    updateMembers([&](std::vector<Member>& members) {
        Member& current = findOne(members, id);
        std::vector<Photo> photos;
        for (const Photo& photo : checked.photos)
            if (hasPhoto(current.photos, photo.id)) photos.push_back(photo);
        for (const Photo& photo : current.photos)
            if (!hasPhoto(checked.photos, photo.id)) photos.push_back(photo);
        current.photos = std::move(photos);
        saved = current;
    });
    return saved;
}

// ---- Services

Service* OpenLibrary::listed(const std::string& id) {
    for (Service& service : services_)
        if (service.id == id) return &service;
    return nullptr;
}

void OpenLibrary::saveService(const Service& service) const {
    try {
        library_.save(service);
    } catch (const LibraryError&) {
        throw; // already one sentence naming the file
    } catch (const std::exception& error) {
        throw LibraryError("Couldn't save the service \"" + service.label + "\" in " +
                           library_.servicesDir().string() + ": " + error.what());
    }
}

void OpenLibrary::addService(const Service& service) {
    saveService(service);
    services_.insert(services_.begin(), service);
}

Service OpenLibrary::updateService(const std::string& id,
                                   const std::function<void(Service&)>& change) {
    Service* current = listed(id);
    if (!current) service(id); // the error naming it
    Service changed = *current;
    change(changed);
    saveService(changed);
    *current = changed;
    return changed;
}

void OpenLibrary::removeService(const std::string& id) {
    service(id);
    library_.removeServiceFolder(id);
    std::erase_if(services_, [&](const Service& s) { return s.id == id; });
}

fs::path OpenLibrary::setAsideService(const std::string& id) {
    const fs::path aside = library_.setAsideService(id);
    reloadServices();
    return aside;
}

int OpenLibrary::repairInterrupted(bool save) {
    int repaired = 0;
    for (Service& service : services_) {
        if (service.status != ServiceStatus::queued && service.status != ServiceStatus::processing)
            continue;
        // The run is over whether or not the record can be written; a record that cannot stays
        // as it is on disk and is repaired at the next start.
        service.status = ServiceStatus::failed;
        service.message = interruptedMessage;
        ++repaired;
        if (!save) continue;
        try {
            library_.save(service);
        } catch (const std::exception&) {
        }
    }
    return repaired;
}

// ---- Corrections

const Service& OpenLibrary::correctable(const std::string& serviceID) const {
    const Service& found = service(serviceID);
    if (!found.results)
        throw LibraryError("The service \"" + found.label + "\" (" + found.id +
                           ") has no register to correct yet.");
    return found;
}

void OpenLibrary::requireOnRegister(const Service& service, const std::string& memberID) const {
    for (const MemberResult& result : service.results->members)
        if (result.memberID == memberID) return;
    if (const Member* member = findMember(memberID))
        throw LibraryError(member->id + " " + member->name + " was not on the register of \"" +
                           service.label +
                           "\": it holds the members who could be recognised when it was "
                           "processed, not those enrolled later or without usable photos then.");
    throw LibraryError("No member with ID " + memberID + ".", LibraryError::Kind::unknownMember);
}

Service OpenLibrary::decide(const std::string& serviceID, const std::string& memberID,
                            MemberCorrection::Decision decision) {
    const Service& target = correctable(serviceID);
    requireOnRegister(target, memberID);
    const Date now = std::chrono::system_clock::now();
    return updateService(target.id, [&](Service& service) {
        auto& members = service.corrections.members;
        std::erase_if(members, [&](const MemberCorrection& c) { return c.memberID == memberID; });
        members.push_back({memberID, decision, now});
    });
}

Service OpenLibrary::restoreAutomatic(const std::string& serviceID, const std::string& memberID) {
    const Service& target = correctable(serviceID);
    requireOnRegister(target, memberID);
    return updateService(target.id, [&](Service& service) {
        std::erase_if(service.corrections.members,
                      [&](const MemberCorrection& c) { return c.memberID == memberID; });
        std::erase_if(service.corrections.visitors,
                      [&](const VisitorLink& link) { return link.memberID == memberID; });
    });
}

Service OpenLibrary::nameVisitor(const std::string& serviceID, const std::string& visitorID,
                                 const std::string& memberID) {
    const Service& target = correctable(serviceID);
    const auto& visitors = target.results->visitors;
    if (std::none_of(visitors.begin(), visitors.end(),
                     [&](const Visitor& v) { return v.id == visitorID; }))
        throw LibraryError("The service \"" + target.label + "\" has no visitor " + visitorID + ".",
                           LibraryError::Kind::unknownVisitor);
    requireOnRegister(target, memberID);
    bool foundPresent = false;
    for (const MemberResult& result : target.results->members)
        if (result.memberID == memberID) foundPresent = result.present;
    const Date now = std::chrono::system_clock::now();
    return updateService(target.id, [&](Service& service) {
        Corrections& corrections = service.corrections;
        std::erase_if(corrections.visitors,
                      [&](const VisitorLink& link) { return link.visitorID == visitorID; });
        corrections.visitors.push_back({visitorID, memberID, now});
        const MemberCorrection* decided = corrections.member(memberID);
        const bool shownPresent =
            decided ? decided->decision != MemberCorrection::Decision::absent : foundPresent;
        if (shownPresent) return;
        std::erase_if(corrections.members,
                      [&](const MemberCorrection& c) { return c.memberID == memberID; });
        corrections.members.push_back({memberID, MemberCorrection::Decision::present, now});
    });
}

std::vector<Photo> OpenLibrary::addVisitorPhoto(const std::string& serviceID,
                                                const std::string& visitorID) {
    const Service& target = correctable(serviceID);
    const VisitorLink* link = target.corrections.visitor(visitorID);
    const auto& visitors = target.results->visitors;
    const auto visitor = std::find_if(visitors.begin(), visitors.end(),
                                      [&](const Visitor& v) { return v.id == visitorID; });
    if (visitor == visitors.end())
        throw LibraryError("The service \"" + target.label + "\" has no visitor " + visitorID + ".",
                           LibraryError::Kind::unknownVisitor);
    if (!link)
        throw LibraryError("Visitor " + visitorID + " of \"" + target.label +
                           "\" is not named as a member yet.");
    const std::string memberID = link->memberID;
    const fs::path snapshot = library_.serviceDir(target.id) / visitor->imageFile;
    std::error_code ec;
    if (!fs::is_regular_file(snapshot, ec))
        throw LibraryError("The snapshot of visitor " + visitorID +
                           " is missing: " + snapshot.string() + ".");
    return addPhotos(memberID, {snapshot});
}

} // namespace tallymere
