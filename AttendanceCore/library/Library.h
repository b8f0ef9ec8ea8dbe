#pragma once

#include "library/LibraryError.h"
#include "library/Records.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere {

// The on-disk store of members and services under one root folder:
//
//   members.json                       every Member, sorted by name
//   members/<memberID>/<photo id>      imported photos, plus face.jpg (the member's best face)
//   services/<serviceID>/service.json  one Service
//   services/<serviceID>/evidence/, visitors/   snapshots written by processing
//
// No cache: every load reads the disk and every save writes it; callers keep the lists. Reading
// never changes a file. A member list that is there but cannot be used is reported by
// readMembers (loadMembers reads it as empty) and is never saved over: an empty list saved over
// it would lose every member. An unreadable service file is skipped. Saves throw. The JSON files
// are replaced atomically. Loads and saves of the JSON files are serialised by a recursive lock, so
// one library may be shared between threads; between programs, updateMembers holds the library
// lock's member range around its read-modify-write.
//
// Identifiers become file names, so every operation that builds a path from a member, photo or
// service id refuses one that is not a single plain path component (empty, ".", "..", or holding
// "/" or a NUL): the path helpers, saves and imports throw LibraryError, deletes do nothing.
class Library {
public:
    // TALLYMERE_LIBRARY when set and not empty; else $XDG_DATA_HOME/Tallymere; else
    // ~/.local/share/Tallymere. The folder need not exist yet.
    static std::filesystem::path defaultRoot();

    // A library on `root`, creating root/members and root/services unless `createFolders` is
    // false (a reader that must not change anything); failures are ignored, later saves report
    // them.
    explicit Library(std::filesystem::path root, bool createFolders = true);
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    const std::filesystem::path& root() const { return root_; }

    // The largest members.json or service.json that is read. A stored photo takes about 12 KB
    // (its 512-number embedding, pretty-printed), so this holds some 20,000 photos, far more than
    // a congregation's; a file this size decodes in well under a gigabyte, while anything larger
    // (a runaway or planted file) would only exhaust memory.
    static constexpr std::uintmax_t maxRecordFileBytes = std::uintmax_t(256) << 20;

    // Lower-case extensions (without the dot) accepted as still images and as recordings.
    static const std::set<std::string, std::less<>>& imageExtensions();
    static const std::set<std::string, std::less<>>& videoExtensions();

    // ---- Members

    // The stored members, or why they cannot be used.
    struct MemberList {
        std::vector<Member> members; // in file order; empty when there is no file or a problem
        // Empty when the list could be read; else the text to show, naming the file and what is
        // wrong with it.
        std::string problem;
        bool readable() const { return problem.empty(); }
    };
    // Reads "members.json" without changing anything: no file is an empty list; a file that is
    // not a regular file, is too large, cannot be read or cannot be decoded is a problem.
    MemberList readMembers() const;
    // The stored members in file order; empty when there is no file, and also when it cannot be
    // used (left as it is; readMembers tells why, and saveMembers will not replace it).
    std::vector<Member> loadMembers() const;
    // The explicit step for a member list that cannot be used: moves it to
    // "members.json.unreadable-<UTC time>" beside it (never over an earlier one) and returns that
    // path. Throws LibraryError when there is no such file or it reads fine, else the file
    // system's error. The next save then starts a new list.
    std::filesystem::path setAsideMembers() const;
    // One read-modify-write of the member list that no other program's can interleave with:
    // holds the library lock's member range (waiting up to 30 s for another holder, calling
    // `onWait` once if it has to), reads the list afresh (loadMembers), applies `change` and
    // saves the result (saveMembers). Returns the list as saved. Anything `change` throws, or a
    // damaged list (LibraryError with readMembers' problem), leaves the file untouched and is
    // passed on.
    std::vector<Member> updateMembers(const std::function<void(std::vector<Member>&)>& change,
                                      const std::function<void()>& onWait = {}) const;
    // Writes all members sorted by name (locale-aware, case-insensitive, stable); the caller's
    // list is not reordered. Throws LibraryError when a record cannot be encoded or when the
    // stored file cannot be used (readMembers' problem: saving over it would lose its members;
    // setAsideMembers first), or when it cannot be written (the old file then stays).
    void saveMembers(const std::vector<Member>& members) const;
    // "M%04d" of the member count plus one, or of one above the highest "M" number seen in
    // `members`, in every stored register and among the folders of members/, whichever is higher;
    // counting up past ids that are taken. A deleted member's id is so never given again while a
    // register or a folder still names it.
    std::string nextMemberID(const std::vector<Member>& members) const;
    // Copies the image files among `files` into the member's folder under new photo ids and
    // returns their fresh, unchecked records, in order. Other files are skipped silently. All or
    // nothing: each copy appears whole or not at all, and when one fails the copies made before
    // it are removed again. Throws LibraryError when the member's folder (or the members folder)
    // is a link, or naming the photo and why when the folder cannot be made or a copy fails.
    std::vector<Photo> importPhotos(const std::vector<std::filesystem::path>& files,
                                    const std::string& memberID) const;
    // Makes the member's folder; true when it was made, false when it was there already (or
    // could not be made: later writes report it). Throws LibraryError when the members folder or
    // the member's folder is a link, which would put the member's files elsewhere.
    bool createMemberFolder(const std::string& memberID) const;
    // Removes the member's folder with everything in it; never fails. A folder that is a link
    // loses the link, never its target's files.
    void deleteMemberFiles(const std::string& memberID) const;
    // Removes the member's folder with everything in it, or nothing: when something in it could
    // not be deleted (no permission, a read-only disk) a LibraryError names it and every file
    // stays. A folder that is a link loses the link, never its target's files.
    void removeMemberFolder(const std::string& memberID) const;
    // Throws removeMemberFolder's refusal without deleting anything.
    void checkMemberFolderRemovable(const std::string& memberID) const;
    // Removes one photo file of the member (a link itself, not its target); never fails, and
    // does nothing when the member's folder is a link.
    void deletePhotoFile(const std::string& memberID, const std::string& photoID) const;

    // ---- Services

    // A service folder whose record cannot be used: its folder name and the text to show.
    struct UnreadableService {
        std::string id;
        std::string problem;
    };
    struct ServiceList {
        std::vector<Service> services;             // newest first by (date, created)
        std::vector<UnreadableService> unreadable; // newest first by folder name
        // Empty when the services folder could be read (or is not there yet); else why not.
        std::string problem;
    };
    // Every service, without changing anything. A folder without "service.json" is skipped (a
    // live session writes its snapshots before its record); one that is a link, whose record
    // cannot be read or decoded, or whose record names another folder is listed as unreadable
    // with the reason. Folders set aside (setAsideService) are left out.
    ServiceList readServices() const;
    // The readable services of readServices.
    std::vector<Service> loadServices() const;
    // Moves an unreadable service's folder to "<id>.unreadable-<UTC time>" beside it (never over
    // an earlier one), where no list shows it, and returns that path. Throws LibraryError when
    // there is no such folder or its record reads fine, or when it cannot be moved.
    std::filesystem::path setAsideService(const std::string& serviceID) const;
    // Writes the service's "service.json" in its own folder, creating the folder; throws on an
    // invalid id, a service folder that is a link (LibraryError), an encoding failure or a
    // file-system failure (the old file then stays).
    void save(const Service& service) const;
    // Removes the service's folder with everything in it (a link itself, never its target);
    // never fails.
    void deleteService(const std::string& serviceID) const;
    // The same, all or nothing as removeMemberFolder.
    void removeServiceFolder(const std::string& serviceID) const;
    // Local "yyyyMMdd-HHmmss", "-" and four random lower-case hexadecimal characters, drawn again
    // while a service folder of that name exists.
    std::string newServiceID() const;
    // The first of "<stamp>-<suffix>" for suffixes from `draw` that names nothing in
    // `servicesDir`; throws LibraryError when many draws find no free name.
    static std::string freeServiceID(const std::filesystem::path& servicesDir,
                                     std::string_view stamp,
                                     const std::function<std::string()>& draw);

    // ---- Attendance register

    // The register of a service as CSV text (LF line ends), with the operator's corrections
    // applied (correctedRegister) and names taken from `members`. Text cells that a spreadsheet
    // would run as a formula (starting with "=", "+", "-", "@", a tab or a carriage return) get a
    // leading apostrophe; text that could carry a separator, a quote or a line break is quoted.
    std::string csv(const Service& service, const std::vector<Member>& members) const;
    // Refuses (LibraryError) a file to export to that lies inside the library, links and ".."
    // resolved: it would replace the member list or a service's record. `what` names the export
    // in the refusal ("The register cannot be saved to …").
    void checkExportTarget(const std::filesystem::path& target,
                           std::string_view what = "The register") const;

    // ---- Paths (no file access; throw LibraryError for an id that is not a plain name)

    std::filesystem::path membersDir() const { return root_ / "members"; }
    std::filesystem::path servicesDir() const { return root_ / "services"; }
    std::filesystem::path photoURL(std::string_view memberID, std::string_view photoID) const;
    std::filesystem::path thumbURL(std::string_view memberID) const;
    std::filesystem::path serviceDir(std::string_view serviceID) const;
    std::filesystem::path membersFile() const { return root_ / "members.json"; }

    // Whether an id can be used as one file or folder name inside the library.
    static bool isPlainName(std::string_view id);

private:
    std::filesystem::path root_;
    mutable std::recursive_mutex lock_; // whole-file loads and saves of the JSON files
};

// Seconds as "h:mm:ss" (rounded to the nearest second, halves away from zero; hours unbounded);
// empty for no value or a value that is not a finite number or beyond 10^15 seconds.
std::string formatClock(std::optional<double> seconds);
// A duration as a service's figures show it: "1h02m", "2m5s" or "59s"; empty when not a finite,
// non-negative number of seconds.
std::string formatDuration(double seconds);

} // namespace tallymere
