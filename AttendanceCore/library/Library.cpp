#include "library/Library.h"

#include "library/AtomicFile.h"
#include "library/Csv.h"
#include "library/Json.h"
#include "library/LibraryLock.h"
#include "library/Register.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <random>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace tallymere {

namespace fs = std::filesystem;

namespace {

// Random hexadecimal digits for identifiers, from a generator seeded once per thread from the
// system's entropy source.
std::string randomHex(size_t count, bool upperCase) {
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::uniform_int_distribution<int> pick(0, 15);
    std::string text(count, '0');
    for (char& c : text)
        c = digits[pick(generator)];
    return text;
}

// The number of a member id of the form "M" and digits, when it has one that fits.
std::optional<unsigned long long> memberNumber(std::string_view id) {
    if (id.size() < 2 || id.size() > 19 || id[0] != 'M') return std::nullopt;
    unsigned long long n = 0;
    for (const char c : id.substr(1)) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<unsigned long long>(c - '0');
    }
    return n;
}

std::string lowerASCII(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

void requirePlainName(std::string_view id, const char* what) {
    if (!Library::isPlainName(id))
        throw LibraryError(std::string("Not a valid ") + what + " id: \"" + std::string(id) +
                           "\".");
}

// A record file's whole text. No value with an empty `problem` when there is no file; no value
// with `problem` saying why when it cannot be used. Only a regular file of at most
// Library::maxRecordFileBytes is read: a FIFO would block every command, a device such as
// /dev/zero would never end, and a huge file would exhaust memory. Opening does not wait for a
// FIFO's writer (O_NONBLOCK), and the type is judged on what was opened, not on the name.
std::optional<std::string> readRecordFile(const fs::path& path, std::string& problem) {
    problem.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            problem = std::string("it cannot be opened (") + std::strerror(errno) + ").";
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        problem = "it is not a regular file.";
        return std::nullopt;
    }
    const auto tooLarge = [&] {
        ::close(fd);
        problem = "it is larger than " + std::to_string(Library::maxRecordFileBytes >> 20) +
                  " MB, more than any library holds.";
        return std::nullopt;
    };
    if (std::uintmax_t(info.st_size) > Library::maxRecordFileBytes) return tooLarge();
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            problem = std::string("it cannot be read (") + std::strerror(errno) + ").";
            ::close(fd);
            return std::nullopt;
        }
        text.append(buffer, size_t(n));
        // A file that grows while it is read is bounded too.
        if (text.size() > Library::maxRecordFileBytes) return tooLarge();
    }
    ::close(fd);
    return text;
}

// The locale for sorting names: the collation setting of the environment, else the root locale.
// ICU's own default would treat an unset or "C" environment as POSIX, which sorts by code point
// and so case-sensitively.
icu::Locale collationLocale() {
    for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string id(value);
        id = id.substr(0, id.find_first_of(".@")); // drop the encoding and modifier
        if (id.empty() || id == "C" || id == "POSIX") break;
        return icu::Locale(id.c_str());
    }
    return icu::Locale::getRoot();
}

std::unique_ptr<icu::Collator> nameCollator() {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(
        icu::Collator::createInstance(collationLocale(), status));
    if (U_FAILURE(status) || !collator) {
        status = U_ZERO_ERROR;
        collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    }
    if (U_FAILURE(status) || !collator) return nullptr;
    // Secondary strength: letters and accents count, case does not.
    collator->setStrength(icu::Collator::SECONDARY);
    return collator;
}

// "20260308T093000Z": the moment a damaged file was set aside, usable in a file name.
std::string compactUTCNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// Where a member file that cannot be used is moved: a dated name beside it, never one in use.
fs::path asideName(const fs::path& file) {
    const std::string base = file.string() + ".unreadable-" + compactUTCNow();
    fs::path aside = base;
    std::error_code ec;
    for (int n = 2; fs::exists(fs::symlink_status(aside, ec)); ++n)
        aside = base + "-" + std::to_string(n);
    return aside;
}

bool isLink(const fs::path& path) {
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(path, ec));
}

// Writes into the library never follow a link planted in it: a linked members or services folder,
// or a member's or service's folder that is a link, would take them elsewhere.
void requireNoLink(const fs::path& folder, const fs::path& parent) {
    for (const fs::path& path : {parent, folder})
        if (isLink(path))
            throw LibraryError("The folder " + path.string() +
                               " is a link to somewhere else. Tallymere writes only inside its "
                               "library: replace the link with a folder.");
}

// A record file's problem with the file's name in place of "it".
std::string namedProblem(const std::string& fileName, const std::string& problem) {
    return problem.starts_with("it ") ? fileName + problem.substr(2) : problem;
}

// Why a folder (with everything in it) cannot be deleted, naming what; empty when it can. Checked
// before anything is deleted, so that a removal that cannot finish leaves every file.
std::string whyNotDeletable(const fs::path& folder) {
    const auto refused = [](const fs::path& where, int error) {
        const std::string cause =
            error == EROFS ? "the disk is read-only" : "no permission to delete what is in it";
        return "Couldn't delete " + where.string() + ": " + cause + ".";
    };
    const fs::path parent = folder.parent_path();
    if (::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return refused(parent, errno);
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(folder, ec))) return {};
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return refused(folder, errno);
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
        if (::faccessat(AT_FDCWD, it->path().c_str(), W_OK | X_OK, AT_EACCESS) != 0)
            return refused(it->path(), errno);
    }
    if (ec) return "Couldn't delete " + folder.string() + ": " + ec.message() + ".";
    return {};
}

// Removes a folder of the library whole, or leaves it whole and says why (LibraryError).
void removeWhole(const fs::path& folder) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(folder, ec))) return;
    if (const std::string problem = whyNotDeletable(folder); !problem.empty())
        throw LibraryError(problem);
    fs::remove_all(folder, ec);
    if (ec)
        throw LibraryError("Couldn't delete all of " + folder.string() + ": " + ec.message() + ".");
}

} // namespace

bool Library::isPlainName(std::string_view id) {
    return !id.empty() && id != "." && id != ".." && id.find('/') == std::string_view::npos &&
           id.find('\0') == std::string_view::npos;
}

fs::path Library::defaultRoot() {
    // An empty value counts as unset: it would make the current folder the library.
    if (const char* library = std::getenv("TALLYMERE_LIBRARY"); library && *library)
        return fs::path(library);
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && fs::path(data).is_absolute())
        return fs::path(data) / "Tallymere";
    fs::path home;
    if (const char* env = std::getenv("HOME"); env && *env) {
        home = env;
    } else if (const passwd* user = getpwuid(getuid()); user && user->pw_dir) {
        home = user->pw_dir;
    }
    return home / ".local" / "share" / "Tallymere";
}

Library::Library(fs::path root, bool createFolders) : root_(std::move(root)) {
    if (!createFolders) return;
    std::error_code ec;
    fs::create_directories(membersDir(), ec);
    fs::create_directories(servicesDir(), ec);
}

const std::set<std::string, std::less<>>& Library::imageExtensions() {
    static const std::set<std::string, std::less<>> extensions{
        "jpg", "jpeg", "png", "heic", "heif", "webp", "tif", "tiff", "bmp"};
    return extensions;
}

const std::set<std::string, std::less<>>& Library::videoExtensions() {
    static const std::set<std::string, std::less<>> extensions{"mp4", "mov", "m4v", "mkv",
                                                               "avi", "mts", "3gp"};
    return extensions;
}

fs::path Library::photoURL(std::string_view memberID, std::string_view photoID) const {
    requirePlainName(memberID, "member");
    requirePlainName(photoID, "photo");
    return membersDir() / memberID / photoID;
}

fs::path Library::thumbURL(std::string_view memberID) const {
    requirePlainName(memberID, "member");
    return membersDir() / memberID / "face.jpg";
}

fs::path Library::serviceDir(std::string_view serviceID) const {
    requirePlainName(serviceID, "service");
    return servicesDir() / serviceID;
}

// ---- Members

Library::MemberList Library::readMembers() const {
    std::lock_guard guard(lock_);
    const fs::path file = membersFile();
    MemberList list;
    const auto text = readRecordFile(file, list.problem);
    if (text) {
        try {
            list.members = decodeJSON<std::vector<Member>>(*text, "members.json");
        } catch (const LibraryError& error) {
            list.problem = error.what();
        }
    }
    if (!list.problem.empty())
        list.problem = "The member list " + file.string() + " cannot be used: " + list.problem;
    return list;
}

std::vector<Member> Library::loadMembers() const {
    return readMembers().members;
}

fs::path Library::setAsideMembers() const {
    std::lock_guard guard(lock_);
    const MemberList list = readMembers();
    const fs::path file = membersFile();
    std::error_code ec;
    if (list.readable()) {
        if (!fs::exists(fs::symlink_status(file, ec)))
            throw LibraryError("There is no member list " + file.string() + " to set aside.");
        throw LibraryError("The member list " + file.string() +
                           " can be read; it is not set aside.");
    }
    const fs::path aside = asideName(file);
    fs::rename(file, aside, ec);
    if (ec)
        throw LibraryError("Couldn't move " + file.string() +
                           " aside: " + writeFailureCause(aside, ec.value()) + ".");
    return aside;
}

std::vector<Member> Library::updateMembers(const std::function<void(std::vector<Member>&)>& change,
                                           const std::function<void()>& onWait) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto held =
        LibraryLock::acquire(root_, LibraryLock::Range::members, LibraryLock::Kind::exclusive,
                             onWait, [&] { return std::chrono::steady_clock::now() > deadline; });
    if (!held)
        throw LibraryError("The member list in " + root_.string() +
                           " is being changed by another program. Try again in a moment.");
    MemberList list = readMembers();
    if (!list.readable()) throw LibraryError(list.problem, LibraryError::Kind::damagedMembers);
    std::vector<Member> members = std::move(list.members);
    change(members);
    saveMembers(members);
    return members;
}

void Library::saveMembers(const std::vector<Member>& members) const {
    std::lock_guard guard(lock_);
    // A file that is there but cannot be read still holds members: it is set aside on purpose
    // (setAsideMembers), never replaced by whatever list a caller has.
    if (const MemberList stored = readMembers(); !stored.readable())
        throw LibraryError(stored.problem, LibraryError::Kind::damagedMembers);
    std::vector<Member> sorted = members;
    if (const auto collator = nameCollator()) {
        std::stable_sort(sorted.begin(), sorted.end(), [&](const Member& a, const Member& b) {
            UErrorCode status = U_ZERO_ERROR;
            return collator->compareUTF8(a.name, b.name, status) == UCOL_LESS;
        });
    }
    writeFileAtomically(membersFile(), encodeJSON(sorted));
}

std::string Library::nextMemberID(const std::vector<Member>& members) const {
    std::unordered_set<std::string> taken;
    unsigned long long highest = 0;
    const auto see = [&](const std::string& id) {
        taken.insert(id);
        if (const auto number = memberNumber(id)) highest = std::max(highest, *number);
    };
    for (const Member& member : members)
        see(member.id);
    // A deleted member's id still names its results in older registers and perhaps a folder
    // left behind; a new member under it would inherit that attendance and those pictures.
    for (const Service& service : loadServices())
        if (service.results)
            for (const MemberResult& result : service.results->members)
                see(result.memberID);
    std::error_code ec;
    for (fs::directory_iterator entries(membersDir(), ec);
         !ec && entries != fs::directory_iterator(); entries.increment(ec))
        see(entries->path().filename().string());

    for (unsigned long long n = std::max<unsigned long long>(members.size(), highest) + 1;; ++n) {
        char id[32];
        std::snprintf(id, sizeof id, "M%04llu", n);
        if (!taken.count(id)) return id;
    }
}

std::vector<Photo> Library::importPhotos(const std::vector<fs::path>& files,
                                         const std::string& memberID) const {
    requirePlainName(memberID, "member");
    const fs::path folder = membersDir() / memberID;
    requireNoLink(folder, membersDir());
    std::error_code made;
    fs::create_directories(folder, made);
    if (made)
        throw LibraryError("Couldn't make the folder " + folder.string() + ": " +
                           writeFailureCause(folder, made.value()) + ".");
    std::vector<Photo> photos;
    const auto undo = [&] {
        std::error_code ignored;
        for (const Photo& photo : photos)
            fs::remove(folder / photo.id, ignored);
    };
    for (const fs::path& source : files) {
        std::string extension = source.extension().string();
        if (!extension.empty()) extension.erase(0, 1);
        extension = lowerASCII(extension);
        if (!imageExtensions().count(extension)) continue;
        const Date now = std::chrono::system_clock::now();
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
        const std::string id = std::to_string(millis) + "_" + randomHex(6, true) + "." + extension;
        // Never overwrites: the name is new, and a clash fails rather than replacing a photo.
        try {
            copyFileAtomically(source, folder / id);
        } catch (...) {
            undo();
            throw;
        }
        photos.emplace_back(id, now);
    }
    return photos;
}

bool Library::createMemberFolder(const std::string& memberID) const {
    requirePlainName(memberID, "member");
    const fs::path folder = membersDir() / memberID;
    requireNoLink(folder, membersDir());
    std::error_code ec;
    return fs::create_directory(folder, ec);
}

void Library::deleteMemberFiles(const std::string& memberID) const {
    // A linked members folder would take the delete elsewhere; a member folder that is a link is
    // removed itself (remove_all never follows it), its target stays.
    if (!isPlainName(memberID) || isLink(membersDir())) return;
    std::error_code ec;
    fs::remove_all(membersDir() / memberID, ec);
}

void Library::removeMemberFolder(const std::string& memberID) const {
    requirePlainName(memberID, "member");
    if (isLink(membersDir())) return;
    removeWhole(membersDir() / memberID);
}

void Library::checkMemberFolderRemovable(const std::string& memberID) const {
    requirePlainName(memberID, "member");
    const fs::path folder = membersDir() / memberID;
    std::error_code ec;
    if (isLink(membersDir()) || !fs::exists(fs::symlink_status(folder, ec))) return;
    if (const std::string problem = whyNotDeletable(folder); !problem.empty())
        throw LibraryError(problem);
}

void Library::deletePhotoFile(const std::string& memberID, const std::string& photoID) const {
    if (!isPlainName(memberID) || !isPlainName(photoID)) return;
    if (isLink(membersDir()) || isLink(membersDir() / memberID)) return;
    std::error_code ec;
    fs::remove(membersDir() / memberID / photoID, ec); // a link itself, never its target
}

// ---- Services

Library::ServiceList Library::readServices() const {
    std::lock_guard guard(lock_);
    ServiceList list;
    std::error_code ec;
    const fs::file_status status = fs::status(servicesDir(), ec);
    if (!fs::exists(status)) return list;
    if (!fs::is_directory(status)) {
        list.problem = "The services folder " + servicesDir().string() +
                       " cannot be read: it is not a folder.";
        return list;
    }
    fs::directory_iterator entries(servicesDir(), ec);
    if (ec) {
        list.problem = "The services folder " + servicesDir().string() +
                       " cannot be read: " + ec.message() + ".";
        return list;
    }
    for (; entries != fs::directory_iterator(); entries.increment(ec)) {
        if (ec) break;
        const fs::path folder = entries->path();
        const std::string id = folder.filename().string();
        if (id.find(".unreadable-") != std::string::npos) continue; // set aside on purpose
        const auto unreadable = [&](const std::string& why) {
            list.unreadable.push_back({id, "The service " + id + " cannot be read: " + why});
        };
        // A linked folder holds a record from elsewhere, which the library must not rewrite.
        if (isLink(folder)) {
            unreadable("its folder is a link to somewhere else.");
            continue;
        }
        std::string problem;
        const auto text = readRecordFile(folder / "service.json", problem);
        if (!text) {
            if (!problem.empty())
                unreadable(namedProblem("service.json", problem));
            else if (isLink(folder / "service.json"))
                unreadable("its service.json is a link to a file that is not there.");
            continue;
        }
        try {
            Service service = decodeJSON<Service>(*text, "service.json");
            // A record must live in the folder its id names, or deleting it would reach elsewhere.
            if (service.id != id) {
                unreadable("its service.json names another service.");
                continue;
            }
            list.services.push_back(std::move(service));
        } catch (const LibraryError& error) {
            unreadable(error.what());
        }
    }
    std::stable_sort(list.services.begin(), list.services.end(),
                     [](const Service& a, const Service& b) {
                         if (a.date != b.date) return a.date > b.date;
                         return a.created > b.created;
                     });
    std::sort(list.unreadable.begin(), list.unreadable.end(),
              [](const UnreadableService& a, const UnreadableService& b) { return a.id > b.id; });
    return list;
}

std::vector<Service> Library::loadServices() const {
    return readServices().services;
}

fs::path Library::setAsideService(const std::string& serviceID) const {
    std::lock_guard guard(lock_);
    const fs::path folder = serviceDir(serviceID);
    const ServiceList list = readServices();
    const bool unreadable =
        std::any_of(list.unreadable.begin(), list.unreadable.end(),
                    [&](const UnreadableService& s) { return s.id == serviceID; });
    if (!unreadable)
        throw LibraryError("The service " + serviceID +
                           " is not one that cannot be read; it is "
                           "not set aside.");
    const fs::path aside = asideName(folder);
    std::error_code ec;
    fs::rename(folder, aside, ec);
    if (ec)
        throw LibraryError("Couldn't move " + folder.string() +
                           " aside: " + writeFailureCause(aside, ec.value()) + ".");
    return aside;
}

void Library::save(const Service& service) const {
    std::lock_guard guard(lock_);
    const fs::path folder = serviceDir(service.id);
    requireNoLink(folder, servicesDir());
    std::error_code made;
    fs::create_directories(folder, made);
    if (made) throw writeFailure(folder / "service.json", made.value());
    writeFileAtomically(folder / "service.json", encodeJSON(service));
}

void Library::deleteService(const std::string& serviceID) const {
    if (!isPlainName(serviceID) || isLink(servicesDir())) return;
    std::error_code ec;
    fs::remove_all(servicesDir() / serviceID, ec);
}

void Library::removeServiceFolder(const std::string& serviceID) const {
    requirePlainName(serviceID, "service");
    if (isLink(servicesDir())) return;
    removeWhole(servicesDir() / serviceID);
}

std::string Library::newServiceID() const {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return freeServiceID(servicesDir(), stamp, [] { return randomHex(4, false); });
}

std::string Library::freeServiceID(const fs::path& servicesDir, std::string_view stamp,
                                   const std::function<std::string()>& draw) {
    // A second service made in the same second must not take the first one's folder: saving it
    // would replace the first record and its run would delete the first one's snapshots.
    constexpr int attempts = 1 << 20; // far more than the 65,536 suffixes of one second
    for (int i = 0; i < attempts; ++i) {
        std::string id = std::string(stamp) + "-" + draw();
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(servicesDir / id, ec);
        if (!fs::exists(status) && (!ec || ec == std::errc::no_such_file_or_directory)) return id;
    }
    throw LibraryError("No free name for a new service in " + servicesDir.string() + ".");
}

// ---- Attendance register

std::string formatClock(std::optional<double> seconds) {
    // Beyond any recording (some 30 million years) the whole seconds no longer fit the counter.
    if (!seconds || !std::isfinite(*seconds) || std::fabs(*seconds) > 1e15) return "";
    const long long s = std::llround(*seconds); // halves away from zero
    char text[64];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, (s % 3600) / 60, s % 60);
    return text;
}

std::string formatDuration(double seconds) {
    // Past 10^15 seconds the whole seconds would not fit the conversion below.
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e15) return {};
    char text[64];
    if (seconds >= 3600) {
        const long long whole = static_cast<long long>(seconds);
        std::snprintf(text, sizeof text, "%lldh%02lldm", whole / 3600, whole % 3600 / 60);
    } else if (seconds >= 60) {
        const long long whole = static_cast<long long>(seconds);
        std::snprintf(text, sizeof text, "%lldm%llds", whole / 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%llds", static_cast<long long>(std::round(seconds)));
    }
    return text;
}

void Library::checkExportTarget(const fs::path& target, std::string_view what) const {
    const auto resolved = [](const fs::path& path) {
        std::error_code ec;
        fs::path full = fs::weakly_canonical(fs::absolute(path, ec), ec);
        if (ec) full = fs::absolute(path, ec).lexically_normal();
        return full;
    };
    const fs::path root = resolved(root_);
    const fs::path file = resolved(target);
    auto r = root.begin();
    auto f = file.begin();
    for (; r != root.end() && f != file.end(); ++r, ++f) {
        if (r->empty()) break; // a trailing separator of the root
        if (*r != *f) return;
    }
    if (r != root.end() && !r->empty()) return;
    throw LibraryError(std::string(what) + " cannot be saved to " + target.string() +
                       ": that is inside the library " + root_.string() +
                       ", whose own files it could replace. Choose a place outside it.");
}

std::string Library::csv(const Service& service, const std::vector<Member>& members) const {
    std::unordered_map<std::string, std::string> names;
    for (const Member& member : members)
        names.emplace(member.id, member.name);

    std::string text =
        "member_id,name,status,confidence,first_seen,last_seen,sightings,needs_review,"
        "review_reason\n";
    for (const RegisterLine& line : correctedRegister(service, members).lines) {
        const MemberResult& result = line.result;
        const auto found = names.find(result.memberID);
        const std::string& name = found != names.end() ? found->second : result.memberID;
        std::string confidence;
        if (line.confidence) {
            char number[64];
            std::snprintf(number, sizeof number, "%.3f", double(*line.confidence));
            confidence = number;
        }
        text += csvCell(result.memberID, false) + "," + csvCell(name, true) + "," +
                (result.present ? "present" : "absent") + "," + confidence + "," +
                formatClock(result.firstSeen) + "," + formatClock(result.lastSeen) + "," +
                std::to_string(result.sightings) + "," + (result.needsReview ? "yes" : "") + "," +
                csvCell(result.reviewReason, true) + "\n";
    }
    return text;
}

} // namespace tallymere
