#include "Commands.h"

#include "Access.h"
#include "Errors.h"
#include "Format.h"
#include "GetModels.h"
#include "LiveRun.h"
#include "ServiceRun.h"
#include "Table.h"
#include "library/AtomicFile.h"
#include "library/History.h"
#include "library/Register.h"
#include "library/Report.h"
#include "recognition/Enroller.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tallymere::cli {

namespace fs = std::filesystem;

namespace {

// ---- Shared steps

// The photo files of a command line, each checked before anything is changed.
std::vector<fs::path> photoFiles(const std::vector<std::string>& arguments, std::size_t first) {
    std::vector<fs::path> files;
    for (std::size_t i = first; i < arguments.size(); ++i) {
        const fs::path file = arguments[i];
        std::error_code ec;
        if (!fs::exists(file, ec))
            throw CommandError("Photo not found: " + file.string() +
                               ". Check the path and try again.");
        if (!fs::is_regular_file(file, ec))
            throw CommandError(file.string() + " is not a file. Give photo files.");
        if (!Library::imageExtensions().count(lowerExtension(file))) {
            std::string accepted;
            for (const auto& extension : Library::imageExtensions())
                accepted += (accepted.empty() ? "" : ", ") + extension;
            throw CommandError(file.string() + " is not a photo. Photos: " + accepted + ".");
        }
        files.push_back(file);
    }
    return files;
}

std::string requireName(const std::string& text, std::string_view what) {
    std::string name = trimmed(text);
    if (name.empty()) throw UsageError(std::string(what) + " is empty");
    return name;
}

void printWarnings(const std::vector<std::string>& warnings) {
    if (warnings.empty()) return;
    std::cout << "\nPhotos that may be filed under the wrong member:\n";
    for (const std::string& warning : warnings)
        std::cout << "  " << printable(warning) << "\n";
}

std::string photoCount(const Member& member) {
    return std::to_string(member.goodPhotos()) + "/" + std::to_string(member.photos.size());
}

// A member's line and the table of their photos; `sources` names the file each new photo came
// from.
void printMemberPhotos(const Member& member,
                       const std::map<std::string, std::string>& sources = {}) {
    std::cout << printable(member.id) << "  " << printable(member.name) << "  "
              << photoCount(member) << " good photos · " << member.readiness() << "\n";
    if (member.photos.empty()) {
        std::cout << "  No photos. Add some with \"tallymere-cli add-photos " << member.id
                  << " PHOTO...\".\n";
        return;
    }
    const bool showSources = !sources.empty();
    std::vector<Table::Column> columns{{"PHOTO"}};
    if (showSources) columns.push_back({"FROM"});
    columns.insert(columns.end(), {{"ADDED"}, {"FACE", true}, {"RESULT"}});
    Table table(columns);
    for (const Photo& photo : member.photos) {
        std::vector<std::string> row{photo.id};
        if (showSources) {
            auto found = sources.find(photo.id);
            row.push_back(found == sources.end() ? "" : found->second);
        }
        row.push_back(localDateTime(photo.added));
        row.push_back(photo.faceWidth > 0 ? std::to_string(std::lround(photo.faceWidth)) + " px"
                                          : "");
        row.push_back(photoOutcome(photo));
        table.add(std::move(row));
    }
    table.print(std::cout, "  ");
}

void printMembersTable(const std::vector<Member>& members) {
    if (members.empty()) {
        std::cout << "No members yet. Add one with \"tallymere-cli add-member NAME PHOTO...\".\n";
        return;
    }
    Table table({{"ID"}, {"NAME"}, {"PHOTOS", true}, {"STATUS"}});
    for (const Member& member : members)
        table.add({member.id, member.name, photoCount(member), member.readiness()});
    table.print(std::cout);
}

std::string resultText(const Service& service) {
    if (service.status == ServiceStatus::done && service.results) {
        const Register r = correctedRegister(service, {});
        return std::to_string(r.present()) + " present, " + std::to_string(r.absent()) +
               " absent, " +
               counted(static_cast<long long>(r.visitors.size()), "visitor", "visitors");
    }
    return service.message;
}

// The services, then one line for each service folder that cannot be read and why; the exit
// status stays that of a listing.
void printServicesTable(const OpenLibrary& library) {
    const std::vector<Service>& services = library.services();
    if (!library.servicesProblem().empty()) {
        std::cout << printable(library.servicesProblem()) << "\n";
        return;
    }
    if (services.empty() && library.unreadableServices().empty()) {
        std::cout << "No services yet. Take attendance with \"tallymere-cli process FILE\".\n";
        return;
    }
    if (!services.empty()) {
        Table table({{"ID"}, {"DATE"}, {"LABEL"}, {"STATUS"}, {"RESULT"}});
        for (const Service& service : services)
            table.add({service.id, localDateTime(service.date), service.label, statusText(service),
                       resultText(service)});
        table.print(std::cout);
    }
    for (const Library::UnreadableService& unreadable : library.unreadableServices())
        std::cout << printable(unreadable.problem) << "\n";
}

// ---- Members

int listCommand(const fs::path& root, const CommandLine&) {
    CommandLibrary workspace(root, OpenLibrary::Use::reading);
    showInterrupted(workspace);
    std::cout << "Library " << workspace.library().root().string() << "\n\nMembers\n";
    printMembersTable(usableMembers(workspace));
    std::cout << "\nServices\n";
    printServicesTable(workspace);
    return exitOk;
}

int membersCommand(const fs::path& root, const CommandLine& line) {
    CommandLibrary workspace(root, OpenLibrary::Use::reading);
    showInterrupted(workspace);
    if (!line.positionals.empty()) {
        for (const std::string& id : line.positionals)
            workspace.member(id); // every id is checked before anything is shown
        for (std::size_t i = 0; i < line.positionals.size(); ++i) {
            if (i > 0) std::cout << "\n";
            printMemberPhotos(workspace.member(line.positionals[i]));
        }
        return exitOk;
    }
    printMembersTable(usableMembers(workspace));
    printWarnings(Enroller::mislabelWarnings(usableMembers(workspace)));
    return exitOk;
}

// Checks a member's photos, keeps the outcome and shows it.
void checkAndShow(OpenLibrary& workspace, FaceEngine& engine, const std::string& id,
                  const std::map<std::string, std::string>& sources = {}) {
    const Member checked = Enroller(engine, workspace.library()).check(workspace.member(id));
    printMemberPhotos(workspace.mergeChecked(id, checked), sources);
}

int addMemberCommand(const fs::path& root, const CommandLine& line) {
    const std::string name = requireName(line.positionals[0], "the member's name");
    const std::vector<fs::path> files = photoFiles(line.positionals, 1);
    CommandLibrary workspace(root);
    repairIfFree(workspace);
    const LibraryLock access = writeAccess(workspace.library().root());
    std::unique_ptr<FaceEngine> engine;
    if (!files.empty()) engine = loadEngine(); // without models, change nothing
    // The member and the copies of their photos are added together, or nothing is.
    const Member member = workspace.addMember(name, files);
    if (files.empty()) {
        std::cout << "Added " << member.id << " " << printable(member.name) << ". Add photos with "
                  << "\"tallymere-cli add-photos " << member.id << " PHOTO...\".\n";
        return exitOk;
    }
    std::map<std::string, std::string> sources;
    for (std::size_t i = 0; i < member.photos.size() && i < files.size(); ++i)
        sources[member.photos[i].id] = files[i].filename().string();
    std::cout << "Added " << member.id << " " << printable(member.name) << "\n";
    checkAndShow(workspace, *engine, member.id, sources);
    printWarnings(Enroller::mislabelWarnings(usableMembers(workspace)));
    return exitOk;
}

int addPhotosCommand(const fs::path& root, const CommandLine& line) {
    const std::vector<fs::path> files = photoFiles(line.positionals, 1);
    CommandLibrary workspace(root);
    repairIfFree(workspace);
    const LibraryLock access = writeAccess(workspace.library().root());
    const std::string& id = line.positionals[0];
    workspace.member(id);
    const std::unique_ptr<FaceEngine> engine = loadEngine();
    const std::vector<Photo> photos = workspace.addPhotos(id, files);
    std::map<std::string, std::string> sources;
    for (std::size_t i = 0; i < photos.size() && i < files.size(); ++i)
        sources[photos[i].id] = files[i].filename().string();
    checkAndShow(workspace, *engine, id, sources);
    printWarnings(Enroller::mislabelWarnings(usableMembers(workspace)));
    return exitOk;
}

int removePhotoCommand(const fs::path& root, const CommandLine& line) {
    CommandLibrary workspace(root);
    repairIfFree(workspace);
    const LibraryLock access = writeAccess(workspace.library().root());
    const std::string& id = line.positionals[0];
    workspace.removePhoto(id, line.positionals[1]);
    std::cout << "Removed photo " << printable(line.positionals[1]) << " of " << printable(id)
              << " " << printable(workspace.member(id).name) << "\n";
    // The other photos are checked again (the face picture or a group photo may depend on the
    // removed one); without models the removal stands and the check waits.
    std::unique_ptr<FaceEngine> engine;
    try {
        engine = loadEngine();
    } catch (const CommandError& error) {
        std::cerr << "The other photos were not checked again: " << error.what() << "\n";
        printMemberPhotos(workspace.member(id));
        return exitOk;
    }
    checkAndShow(workspace, *engine, id);
    return exitOk;
}

int renameCommand(const fs::path& root, const CommandLine& line) {
    const std::string name = requireName(line.positionals[1], "the new name");
    CommandLibrary workspace(root);
    repairIfFree(workspace);
    const LibraryLock access = writeAccess(workspace.library().root());
    const std::string& id = line.positionals[0];
    const std::string old = workspace.member(id).name;
    workspace.rename(id, name);
    std::cout << "Renamed " << printable(id) << " from " << printable(old) << " to "
              << printable(name) << "\n";
    return exitOk;
}

int removeMemberCommand(const fs::path& root, const CommandLine& line) {
    CommandLibrary workspace(root);
    repairIfFree(workspace);
    const LibraryLock access = writeAccess(workspace.library().root());
    const Member removed = workspace.removeMember(line.positionals[0]);
    std::cout << "Removed " << printable(removed.id) << " " << printable(removed.name) << " and "
              << counted(static_cast<long long>(removed.photos.size()), "photo", "photos")
              << ". Earlier registers keep their lines under the ID.\n";
    return exitOk;
}

int checkCommand(const fs::path& root, const CommandLine& line) {
    CommandLibrary workspace(root);
    repairIfFree(workspace);
    const LibraryLock access = writeAccess(workspace.library().root());
    std::vector<std::string> ids = line.positionals;
    for (const std::string& id : ids)
        workspace.member(id);
    if (ids.empty())
        for (const Member& member : usableMembers(workspace))
            ids.push_back(member.id);
    if (ids.empty()) {
        std::cout << "No members to check. Add one with \"tallymere-cli add-member NAME "
                     "PHOTO...\".\n";
        return exitOk;
    }
    const std::unique_ptr<FaceEngine> engine = loadEngine();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) std::cout << "\n";
        checkAndShow(workspace, *engine, ids[i]);
    }
    printWarnings(Enroller::mislabelWarnings(usableMembers(workspace)));
    return exitOk;
}

// ---- Services

int processCommand(const fs::path& root, const CommandLine& line) {
    RunRequest request;
    for (const std::string& file : line.positionals)
        request.files.push_back(file);
    if (auto mode = line.option("--mode")) {
        auto parsed = ProcessSettings::Mode::fromRawValue(*mode);
        if (!parsed) throw UsageError("unknown mode " + *mode + " (quick, standard or thorough)");
        request.mode = *parsed;
    }
    if (auto label = line.option("--label")) request.label = requireName(*label, "the label");
    return processService(root, request);
}

int liveCommand(const fs::path& root, const CommandLine& line) {
    LiveRequest request;
    request.source = line.positionals[0];
    if (auto label = line.option("--label")) request.label = requireName(*label, "the label");
    if (auto limit = line.option("--stop-after")) {
        std::size_t used = 0;
        double seconds = 0;
        try {
            seconds = std::stod(*limit, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != limit->size() || !(seconds > 0) || !std::isfinite(seconds))
            throw UsageError("--stop-after needs a positive number of seconds, not " + *limit);
        request.stopAfter = seconds;
    }
    return liveService(root, request);
}

int camerasCommand(const fs::path&, const CommandLine&) {
    return listCameras();
}

int servicesCommand(const fs::path& root, const CommandLine&) {
    CommandLibrary workspace(root, OpenLibrary::Use::reading);
    showInterrupted(workspace);
    printServicesTable(workspace);
    return exitOk;
}

void printRegister(const Service& service, const std::vector<Member>& members,
                   const Library& library) {
    const Register shown = correctedRegister(service, members);
    std::cout << "Present " << shown.present() << " · To double-check " << shown.needsReview()
              << " · Absent " << shown.absent() << " · Visitors (estimate) "
              << shown.visitors.size() << "\n\n";
    Table table({{"NAME"},
                 {"STATUS"},
                 {"CONFIDENCE", true},
                 {"FIRST SEEN"},
                 {"LAST SEEN"},
                 {"SIGHTINGS", true},
                 {"REVIEW"}});
    for (const RegisterLine& line : shown.lines) {
        const MemberResult& result = line.result;
        std::string review = result.reviewReason;
        if (result.needsReview && review.empty()) review = "yes";
        table.add({memberName(members, result.memberID), result.present ? "present" : "absent",
                   line.confidence ? percent(*line.confidence) : "", formatClock(result.firstSeen),
                   formatClock(result.lastSeen), std::to_string(result.sightings), review});
    }
    if (table.empty())
        std::cout << "No members were recognisable when it was processed.\n";
    else
        table.print(std::cout);

    std::cout << "\nVisitors (estimate): " << shown.visitors.size() << "\n";
    if (!shown.visitors.empty()) {
        Table visitors({{"VISITOR"}, {"FIRST SEEN"}, {"SIGHTINGS", true}, {"SNAPSHOT"}});
        for (const Visitor& visitor : shown.visitors)
            visitors.add({visitor.id, formatClock(visitor.firstSeen),
                          std::to_string(visitor.sightings), visitor.imageFile});
        visitors.print(std::cout, "  ");
    }

    const ServiceResults& results = *service.results;
    std::cout << "\n"
              << results.framesAnalysed << " frames analysed in "
              << formatDuration(results.processingSeconds) << " · "
              << formatDuration(results.durationSeconds) << " of recording · "
              << counted(results.membersEnrolled, "member", "members") << " enrolled\n"
              << "Model: " << results.model << "\n"
              << "Snapshots: " << library.serviceDir(service.id).string() << "\n";
}

int showCommand(const fs::path& root, const CommandLine& line) {
    CommandLibrary workspace(root, OpenLibrary::Use::reading);
    showInterrupted(workspace);
    const Service& service = workspace.service(line.positionals[0]);
    std::cout << printable(service.label) << "  (" << printable(service.id) << ")\n"
              << localDateTime(service.date);
    if (service.liveSource)
        std::cout << " · live from " << printable(*service.liveSource);
    else
        std::cout << " · " << service.mode.title();
    std::cout << "\n";
    for (const std::string& path : service.sourcePaths)
        std::cout << "  " << printable(readablePath(path)) << "\n";
    std::cout << printable(statusWithMessage(service)) << "\n\n";
    if (service.status == ServiceStatus::done && service.results)
        printRegister(service, usableMembers(workspace), workspace.library());
    else if (service.status == ServiceStatus::failed || service.status == ServiceStatus::cancelled)
        std::cout << "No register. Take attendance again with \"tallymere-cli process\".\n";
    return exitOk;
}

// The operator's word on one line of a register, or on who a visitor is.
int correctCommand(const fs::path& root, const CommandLine& line) {
    const auto visitor = line.option("--visitor");
    const bool addPhoto = line.flag("--add-photo");
    const std::vector<std::string>& args = line.positionals;
    std::optional<MemberCorrection::Decision> decision;
    if (visitor) {
        if (args.size() != 2) throw UsageError("--visitor needs SERVICE and the MEMBER it is");
    } else {
        if (addPhoto) throw UsageError("--add-photo goes with --visitor");
        if (args.size() != 3)
            throw UsageError("give SERVICE, MEMBER and present, absent, confirm or restore");
        const std::string& word = args[2];
        if (word == "confirm")
            decision = MemberCorrection::Decision::confirmed;
        else if (word == "present" || word == "absent")
            decision = decisionNamed(word);
        else if (word != "restore")
            throw UsageError("unknown decision " + word + " (present, absent, confirm or restore)");
    }
    CommandLibrary workspace(root);
    repairIfFree(workspace);
    const LibraryLock access = writeAccess(workspace.library().root());
    const std::string& memberID = args[1];
    std::unique_ptr<FaceEngine> engine;
    if (addPhoto) engine = loadEngine(); // without models, change nothing
    Service saved;
    if (visitor)
        saved = workspace.nameVisitor(args[0], *visitor, memberID);
    else if (decision)
        saved = workspace.decide(args[0], memberID, *decision);
    else
        saved = workspace.restoreAutomatic(args[0], memberID);

    const std::vector<Member>& members = usableMembers(workspace);
    // A member deleted since is named by the id alone, as the register does.
    const std::string name = memberName(members, memberID);
    const std::string who = name == memberID ? memberID : memberID + " " + name;
    if (visitor)
        std::cout << "Visitor " << printable(*visitor) << " is " << printable(who) << ".\n";
    else if (!decision)
        std::cout << "Restored the automatic decision for " << printable(who) << ".\n";
    const Register shown = correctedRegister(saved, members);
    for (const RegisterLine& shownLine : shown.lines)
        if (shownLine.result.memberID == memberID)
            std::cout << printable(who) << ": " << (shownLine.result.present ? "present" : "absent")
                      << (shownLine.result.reviewReason.empty()
                              ? ""
                              : " (" + shownLine.result.reviewReason + ")")
                      << "\n";
    std::cout << printable(saved.label) << ": present " << shown.present() << " · to double-check "
              << shown.needsReview() << " · absent " << shown.absent() << " · visitors (estimate) "
              << shown.visitors.size() << "\n";
    if (addPhoto) {
        workspace.addVisitorPhoto(saved.id, *visitor);
        std::cout << "\nAdded the visitor's snapshot to the photos of " << printable(who) << "\n";
        checkAndShow(workspace, *engine, memberID);
    }
    return exitOk;
}

// Writes the register where -o names, as a shell's redirection would: a device, FIFO or other
// special file (-o /dev/stdout) is written into, a link to a regular file has its target
// replaced; only a regular file (or a new one) is itself replaced, atomically.
void writeExport(const fs::path& file, const std::string& text) {
    struct stat info {};
    std::error_code ec;
    const bool link = fs::is_symlink(fs::symlink_status(file, ec));
    const bool there = ::stat(file.c_str(), &info) == 0;
    if (there && S_ISREG(info.st_mode)) {
        writeFileAtomically(link ? fs::canonical(file) : file, text);
        return;
    }
    if (!there && !link) {
        writeFileAtomically(file, text);
        return;
    }
    // A special file, or a link to where nothing is yet: written through as it is.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) throw writeFailure(file, errno);
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const int error = errno;
            ::close(fd);
            throw writeFailure(file, error);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (::close(fd) != 0) throw writeFailure(file, errno);
}

int exportCommand(const fs::path& root, const CommandLine& line) {
    CommandLibrary workspace(root, OpenLibrary::Use::reading);
    showInterrupted(workspace);
    const Service& service = workspace.service(line.positionals[0]);
    if (service.status != ServiceStatus::done || !service.results)
        throw CommandError("Service " + service.id + " has no register to export (" +
                           statusWithMessage(service) + ").");
    const std::string text = workspace.library().csv(service, usableMembers(workspace));
    const std::string target = line.option("-o").value_or("-");
    if (target.empty()) throw UsageError("-o needs a file name, a folder or -");
    if (target == "-") {
        std::cout << text << std::flush;
        return exitOk;
    }
    fs::path file = target;
    std::error_code ec;
    if (target.ends_with('/') || fs::is_directory(file, ec)) file /= defaultExportName(service);
    workspace.library().checkExportTarget(file);
    writeExport(file, text);
    std::cerr << "Saved the register of " << service.id << " to " << file.string() << "\n";
    return exitOk;
}

// ---- Attendance over time

// The label filter of a command line: none, or a label that is not blank.
RegisterFilter labelFilter(const CommandLine& line) {
    RegisterFilter filter;
    if (auto label = line.option("--label")) filter.label = requireName(*label, "the label");
    return filter;
}

// " (label TEXT)" when a label filter is set.
std::string filterNote(const RegisterFilter& filter) {
    return filter.label.empty() ? "" : " (" + printable(filter.label) + " only)";
}

// A day given on the command line: "YYYY-MM-DD", a real calendar day.
std::string requireDay(const std::string& text, std::string_view option) {
    using namespace std::chrono;
    bool ok = text.size() == 10 && text[4] == '-' && text[7] == '-';
    for (std::size_t i = 0; ok && i < text.size(); ++i)
        if (i != 4 && i != 7) ok = text[i] >= '0' && text[i] <= '9';
    if (ok) {
        const year_month_day date{year{std::stoi(text.substr(0, 4))},
                                  month{unsigned(std::stoi(text.substr(5, 2)))},
                                  day{unsigned(std::stoi(text.substr(8, 2)))}};
        ok = date.ok();
    }
    if (!ok) throw UsageError(std::string(option) + " needs a day as YYYY-MM-DD, not " + text);
    return text;
}

int historyCommand(const fs::path& root, const CommandLine& line) {
    CommandLibrary workspace(root, OpenLibrary::Use::reading);
    showInterrupted(workspace);
    const Member& member = workspace.member(line.positionals[0]);
    const AttendanceHistory all(workspace.services(), usableMembers(workspace));
    const MemberHistory& history = all.member(member.id);
    std::cout << printable(member.id) << "  " << printable(member.name) << "\n";
    if (history.registers.empty()) {
        std::cout << "Not on any register yet: registers list the members enrolled when they "
                     "were taken.\n";
        return exitOk;
    }
    const MemberHistory recent = history.recent(12);
    std::cout << "Attended " << recent.attended() << " of the last " << recent.registers.size();
    if (history.absenceRun() >= 2)
        std::cout << " · away " << history.absenceRun() << " services in a row";
    std::cout << " · "
              << (history.lastSeen() ? "last seen " + localDay(*history.lastSeen())
                                     : std::string("not seen yet"))
              << "\n\n";
    Table table({{"DATE"}, {"SERVICE"}, {"ID"}, {"ATTENDED"}, {"NOTE"}});
    for (auto it = history.registers.rbegin(); it != history.registers.rend(); ++it)
        table.add({localDateTime(it->date), it->service->label, it->service->id,
                   it->attended ? "present" : "absent",
                   it->corrected     ? "corrected by operator"
                   : it->needsReview ? "to double-check"
                                     : ""});
    table.print(std::cout);
    return exitOk;
}

int followUpCommand(const fs::path& root, const CommandLine& line) {
    int missed = defaultMissedServices;
    if (auto text = line.option("--missed")) {
        std::size_t used = 0;
        try {
            missed = std::stoi(*text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != text->size() || missed < fewestMissedServices ||
            missed > mostMissedServices)
            throw UsageError("--missed needs a number from " +
                             std::to_string(fewestMissedServices) + " to " +
                             std::to_string(mostMissedServices) + ", not " + *text);
    }
    const RegisterFilter filter = labelFilter(line);
    CommandLibrary workspace(root, OpenLibrary::Use::reading);
    showInterrupted(workspace);
    const std::vector<FollowUp> away =
        AttendanceHistory(workspace.services(), usableMembers(workspace), filter).followUp(missed);
    if (away.empty()) {
        std::cout << "Everyone has been seen in the last " << missed << " services"
                  << filterNote(filter) << ".\n";
        return exitOk;
    }
    std::cout << "Away from the last " << missed << " services or more" << filterNote(filter)
              << ": " << counted(static_cast<long long>(away.size()), "member", "members")
              << "\n\n";
    Table table({{"ID"}, {"NAME"}, {"AWAY", true}, {"LAST SEEN"}});
    for (const FollowUp& member : away)
        table.add({member.memberID, member.name, std::to_string(member.absenceRun),
                   member.lastSeen ? localDay(*member.lastSeen) : "never"});
    table.print(std::cout);
    return exitOk;
}

int reportCommand(const fs::path& root, const CommandLine& line) {
    ReportRange range;
    if (auto from = line.option("--from")) range.fromDay = requireDay(*from, "--from");
    if (auto to = line.option("--to")) range.toDay = requireDay(*to, "--to");
    if (!range.fromDay.empty() && !range.toDay.empty() && range.fromDay > range.toDay)
        throw UsageError("--from " + range.fromDay + " is after --to " + range.toDay);
    range.filter = labelFilter(line);
    const std::string target = line.option("-o").value_or("-");
    if (target.empty()) throw UsageError("-o needs a file name, a folder or -");
    CommandLibrary workspace(root, OpenLibrary::Use::reading);
    showInterrupted(workspace);
    const std::string text =
        attendanceReport(workspace.services(), usableMembers(workspace), range);
    if (target == "-") {
        std::cout << text << std::flush;
        return exitOk;
    }
    fs::path file = target;
    std::error_code ec;
    if (target.ends_with('/') || fs::is_directory(file, ec)) file /= "attendance-report.csv";
    workspace.library().checkExportTarget(file, "The report");
    writeExport(file, text);
    long long services = 0;
    for (const Service& service : workspace.services())
        if (range.covers(service)) ++services;
    std::cerr << "Saved the attendance report of " << counted(services, "service", "services")
              << " to " << file.string() << "\n";
    return exitOk;
}

int removeServiceCommand(const fs::path& root, const CommandLine& line) {
    const std::string& id = line.positionals[0];
    if (id == "latest") throw UsageError("remove-service needs the service's ID, not latest");
    CommandLibrary workspace(root);
    repairIfFree(workspace);
    const LibraryLock access = writeAccess(workspace.library().root());
    const Service service = workspace.service(id);
    // Still queued or processing after the start-up repair: another process is running it.
    if (service.status == ServiceStatus::queued || service.status == ServiceStatus::processing)
        throw CommandError("Service " + id +
                           " is being processed by another tallymere-cli. Stop that run "
                           "(Ctrl-C in its terminal) first.");
    workspace.removeService(id);
    std::cout << "Removed service " << printable(id) << " \"" << printable(service.label)
              << "\" with its snapshots. The recording itself is kept.\n";
    return exitOk;
}

int setAsideMembersCommand(const fs::path& root, const CommandLine&) {
    CommandLibrary workspace(root);
    const LibraryLock access = writeAccess(workspace.library().root());
    fs::path aside;
    try {
        aside = workspace.library().setAsideMembers();
    } catch (const std::exception& error) {
        throw CommandError(error.what());
    }
    std::cout << "Moved the member list that could not be used to " << aside.string()
              << ".\nThe library now has no members; the member folders and the registers stay as "
                 "they are.\n";
    return exitOk;
}

} // namespace

const std::vector<CommandSpec>& commandSpecs() {
    static const std::vector<CommandSpec> table{
        {"members",
         "[ID...]",
         "list the members, their photos and their status",
         "Without IDs, a table of every member: ID, name, good/total photos and status, then\n"
         "any photos that look like another member. With IDs, each photo of those members and\n"
         "how the check left it.",
         {},
         0,
         -1,
         membersCommand},
        {"add-member",
         "NAME [PHOTO...]",
         "add a member and check their photos",
         "Adds a member (spaces and tabs around the name are dropped), copies the photos into\n"
         "the library and checks each one: face size, sharpness, head turn, and which face is\n"
         "theirs in a group photo. Quote a name with spaces: add-member \"Anne Smith\" a.jpg.\n"
         "3 to 10 photos work best: different days, with and without glasses.",
         {},
         1,
         -1,
         addMemberCommand},
        {"add-photos",
         "ID PHOTO...",
         "add photos of a member and check them",
         "",
         {},
         2,
         -1,
         addPhotosCommand},
        {"remove-photo",
         "ID PHOTO_ID",
         "remove one photo and check the others again",
         "PHOTO_ID is the name shown by \"tallymere-cli members ID\".",
         {},
         2,
         2,
         removePhotoCommand},
        {"rename",
         "ID NAME",
         "rename a member",
         "Quote a name with spaces.",
         {},
         2,
         2,
         renameCommand},
        {"remove-member",
         "ID",
         "remove a member and their photos",
         "Earlier registers keep the member's lines, shown under the ID.",
         {},
         1,
         1,
         removeMemberCommand},
        {"check",
         "[ID...]",
         "check members' photos again (all members when none is named)",
         "",
         {},
         0,
         -1,
         checkCommand},
        {"process",
         "[--mode MODE] [--label TEXT] FILE...",
         "take attendance from a recording or a set of photos",
         "Creates a service from one recording or any number of photos, processes it and prints\n"
         "the register's summary. Progress goes to standard error. Ctrl-C cancels: the service\n"
         "is kept as cancelled. Only one run at a time works on a library; a second waits.",
         {{{"--mode"},
           "MODE",
           "quick (1 frame every 2 seconds), standard (1 frame per second; the default)\n"
           "               or thorough (2 frames per second at higher resolution; about 3x "
           "slower)"},
          {{"--label"}, "TEXT", "the service's title (default: the first file's name)"}},
         1,
         -1,
         processCommand},
        {"live",
         "[--label TEXT] [--stop-after SECONDS] SOURCE",
         "take attendance live from a camera or a stream",
         "SOURCE is a camera (its ID from \"tallymere-cli cameras\", or its device such as\n"
         "/dev/video0) or a stream URL: an HLS playlist or a video over http:// or https://,\n"
         "an IP camera's rtsp:// address, or a file:// URL. Each member is printed when first\n"
         "recognised; a status line shows the time, the faces in view and the analysis rate.\n"
         "Ctrl-C stops and saves the service with its register; a second Ctrl-C discards it.\n"
         "Only one run at a time works on a library; a second waits.",
         {{{"--label"}, "TEXT", "the service's title (default: Live)"},
          {{"--stop-after"}, "SECONDS", "stop and save after this many seconds of capture"}},
         1,
         1,
         liveCommand},
        {"cameras", "", "list the cameras", "", {}, 0, 0, camerasCommand},
        {"services", "", "list the services, newest first", "", {}, 0, 0, servicesCommand},
        {"show",
         "ID|latest",
         "show a service's register",
         "Every member's line (status, confidence, first and last seen, sightings, why to\n"
         "double-check), the visitors and the run's figures. latest is the newest service.",
         {},
         1,
         1,
         showCommand},
        {"correct",
         "SERVICE MEMBER present|absent|confirm|restore | SERVICE --visitor V MEMBER "
         "[--add-photo]",
         "correct a line of a service's register, or name a visitor",
         "The operator's decision replaces the automatic one wherever the register is shown or\n"
         "exported; the automatic results are kept, and restore brings them back. present and\n"
         "absent mark the member so; confirm lets the automatic decision stand without review.\n"
         "--visitor names a visitor as a member: the member is present and the visitor leaves\n"
         "the estimate. SERVICE is an ID or latest; MEMBER an ID on that register.",
         {{{"--visitor"}, "V", "the visitor (as \"tallymere-cli show\" lists them)"},
          {{"--add-photo"}, "", "also add the visitor's snapshot to the member's photos"}},
         2,
         3,
         correctCommand},
        {"export",
         "ID|latest [-o FILE]",
         "write a service's register as CSV",
         "Writes to standard output, or to FILE. When FILE is a folder, the file in it is named\n"
         "attendance-YYYY-MM-DD.csv after the service's date.",
         {{{"-o", "--output"}, "FILE", "where to write (\"-\": standard output)"}},
         1,
         1,
         exportCommand},
        {"history",
         "MEMBER",
         "show a member's attendance, newest register first",
         "Every register the member is on (a member enrolled after a service is not on its\n"
         "register), as the operator corrected it, with how many of the last 12 they attended,\n"
         "how many services in a row they have been away (from 2) and when they were last seen.",
         {},
         1,
         1,
         historyCommand},
        {"follow-up",
         "[--missed N] [--label TEXT]",
         "list the members away from the last services, to call them",
         "The members absent from at least their N most recent registers, the longest absence\n"
         "first, then by name, with when each was last seen. The exit status is 0 whether or\n"
         "not anyone is listed.",
         {{{"--missed"}, "N", "services missed in a row, 2 to 8 (default 3)"},
          {{"--label"}, "TEXT", "count only the services with this label (any case)"}},
         0,
         0,
         followUpCommand},
        {"report",
         "[--from DATE] [--to DATE] [--label TEXT] [-o FILE]",
         "write the attendance of every member over a range of services as CSV",
         "One row per member: ID, name, one column per finished service in date order (headed\n"
         "by its date and label) holding present, absent or nothing when the member was not on\n"
         "its register, then attended, registers and the rate. Writes to standard output, or to\n"
         "FILE; when FILE is a folder, to attendance-report.csv in it.",
         {{{"--from"}, "DATE", "the first day to include, as YYYY-MM-DD"},
          {{"--to"}, "DATE", "the last day to include, as YYYY-MM-DD"},
          {{"--label"}, "TEXT", "only the services with this label (any case)"},
          {{"-o", "--output"}, "FILE", "where to write (\"-\": standard output)"}},
         0,
         0,
         reportCommand},
        {"get-models",
         "[ZIP]",
         "fetch the face models and convert them for this user",
         "Downloads InsightFace's buffalo_l pack, or takes ZIP, a copy of buffalo_l.zip\n"
         "downloaded elsewhere; checks it and converts its detector and recogniser into\n"
         "$ATTENDANCE_MODELS, else $XDG_DATA_HOME/tallymere/models (~/.local/share/tallymere/\n"
         "models). The pack is for non-commercial research use only. A pack that fails the\n"
         "check is refused and nothing is written.",
         {},
         0,
         1,
         getModelsCommand},
        {"remove-service",
         "ID",
         "remove a service and its snapshots",
         "The recording itself is kept.",
         {},
         1,
         1,
         removeServiceCommand},
        {"list", "", "list the members and the services", "", {}, 0, 0, listCommand},
        {"set-aside-members",
         "",
         "move a member list that cannot be read aside and start an empty one",
         "Only for a member list that the other commands report as unusable. The file is kept\n"
         "beside, as members.json.unreadable-<time>, to be mended or restored from.",
         {},
         0,
         0,
         setAsideMembersCommand},
    };
    return table;
}

const CommandSpec* findCommand(std::string_view name) {
    for (const CommandSpec& command : commandSpecs())
        if (command.name == name) return &command;
    return nullptr;
}

std::string usageLine(const CommandSpec& command) {
    std::string line = "Usage: tallymere-cli [--library DIR] " + std::string(command.name);
    if (!command.arguments.empty()) line += " " + std::string(command.arguments);
    return line;
}

void printOverview(std::ostream& out) {
    out << "Usage: tallymere-cli [--library DIR] COMMAND [ARGUMENTS]\n"
           "       tallymere-cli --version\n\n"
           "Takes attendance at services by face recognition, in the same library as the\n"
           "Tallymere application.\n\n"
           "Commands:\n";
    Table table({{""}, {""}});
    for (const CommandSpec& command : commandSpecs()) {
        std::string call(command.name);
        if (!command.arguments.empty()) call += " " + std::string(command.arguments);
        table.add({call, std::string(command.summary)});
    }
    std::ostringstream rows;
    table.print(rows, "  ");
    // Drop the empty heading line.
    const std::string text = rows.str();
    out << text.substr(text.find('\n') + 1)
        << "\nOptions:\n"
           "  --library DIR  the library folder (default: $TALLYMERE_LIBRARY, else\n"
           "                 $XDG_DATA_HOME/Tallymere, else ~/.local/share/Tallymere)\n"
           "  --help         this text; \"tallymere-cli COMMAND --help\" explains a command\n"
           "  --version      the tool's version\n\n"
           "Face models are looked for in $ATTENDANCE_MODELS, else in\n"
           "$XDG_DATA_HOME/tallymere/models, else in /usr/share/tallymere/models;\n"
           "\"tallymere-cli get-models\" gets them. Only add-member and add-photos with photos,\n"
           "check, process and live need them. The recogniser computes in 8-bit integers,\n"
           "bfloat16 or 32-bit floats as the processor allows; $TALLYMERE_PRECISION (int8,\n"
           "bf16 or fp32) forces one.\n\n"
           "Exit status: 0 done, 1 failed, 2 wrong command line, 130 cancelled or discarded\n"
           "(Ctrl-C).\n";
}

void printCommandHelp(std::ostream& out, const CommandSpec& command) {
    out << usageLine(command) << "\n\n" << command.summary << ".\n";
    if (!command.details.empty()) out << "\n" << command.details << "\n";
    if (!command.options.empty()) {
        out << "\nOptions:\n";
        for (const OptionSpec& option : command.options) {
            std::string names;
            for (std::string_view name : option.names)
                names += (names.empty() ? "" : ", ") + std::string(name);
            std::string head = names + " " + std::string(option.value);
            out << "  " << head << std::string(head.size() < 13 ? 13 - head.size() : 1, ' ')
                << option.help << "\n";
        }
    }
    out << "\nGlobal option: --library DIR, the library folder.\n";
}

} // namespace tallymere::cli
