// A valid library damaged in many random ways (cut-off and garbled files, values of the wrong
// type, huge values, FIFOs, links to elsewhere and to devices in place of files and folders,
// photo ids given twice, member lists with NUL bytes or in UTF-16), with every tallymere-cli
// command run on each. No command may crash or hang, write or delete anything outside the
// library, lose a member or a photo record without saying so, leave a damaged service unlisted,
// or show an internal text (an exception's, a temporary file's name). A member added with a photo
// that cannot be copied is not added at all.
//
// TALLYMERE_HOSTILE_CASES sets the number of damaged libraries (default 4, 16 command runs each,
// so that it fits a CI run); TALLYMERE_HOSTILE_SEED the first seed. The figures are printed at
// the end.

#include "CliRunner.h"
#include "library/Json.h"
#include "library/Library.h"
#include "library/LibraryLock.h"
#include "library/OpenLibrary.h"
#include "support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallymere;
using tallymere::testing::CliProcess;
using tallymere::testing::CliResult;
using tallymere::testing::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr auto commandLimit = std::chrono::seconds(20);

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Type, size, modification time and link target of everything under a folder.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0) continue;
        std::string state = std::to_string(info.st_mode) + " " + std::to_string(info.st_size) +
                            " " + std::to_string(info.st_mtim.tv_sec) + "." +
                            std::to_string(info.st_mtim.tv_nsec);
        if (S_ISLNK(info.st_mode)) state += " -> " + fs::read_symlink(it->path(), ec).string();
        entries[fs::relative(it->path(), folder).string()] = state;
    }
    return entries;
}

struct Figures {
    int cases = 0;
    int runs = 0;
    int succeeded = 0;
    int cleanFailures = 0;
    int crashes = 0;
    int hangs = 0;
    int touchedOutside = 0;
    int membersLost = 0;
    int internalTexts = 0;
    int servicesUnlisted = 0;
    int photosMiscounted = 0;
    int halfAdded = 0;
};

// Texts of the program's insides that must never reach a user.
const char* const internalTexts[] = {"json.exception", "filesystem error", "basic_string", ".tmp-"};

std::string internalTextIn(const std::string& text) {
    for (const char* internal : internalTexts)
        if (text.find(internal) != std::string::npos) return internal;
    return {};
}

class HostileLibrary {
public:
    explicit HostileLibrary(std::uint32_t seed) : random(seed) {
        fs::create_directories(noModels);
        fs::create_directories(outside / "folder");
        writeText(outside / "file.jpg", "someone else's file");
        writeText(outside / "folder" / "keep.jpg", "someone else's photo");
        fs::create_directories(scratch);
        build();
    }

    // Damages the library in one or more random ways; returns what was done.
    std::string damage() {
        std::string done;
        const int count = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < count; ++i)
            done += (done.empty() ? "" : "; ") + damageOnce();
        return done;
    }

    void run(Figures& figures, const std::string& what) {
        const std::string service = firstService();
        const std::vector<std::vector<std::string>> commands{
            {"members"},
            {"members", "M0001"},
            {"list"},
            {"services"},
            {"show", "latest"},
            {"export", "latest"},
            {"export", service.empty() ? "latest" : service, "-o",
             (scratch / "register.csv").string()},
            {"rename", "M0001", "Renamed \x1b[1m"},
            {"remove-photo", "M0002", photoOf("M0002")},
            {"add-photos", "M0001", (outside / "file.jpg").string()},
            {"remove-member", "M0003"},
            {"add-member", "New Member"},
            {"check"},
            {"process", (outside / "file.jpg").string()},
            {"remove-service", service.empty() ? "none" : service},
            {"set-aside-members"},
        };
        const auto outsideBefore = snapshot(outside);
        for (const auto& command : commands) {
            const Library::MemberList before = Library(root, false).readMembers();
            const std::vector<std::string> serviceRecords = servicesWithRecords();
            const auto started = std::chrono::steady_clock::now();
            std::vector<std::string> arguments{"--library", root.string()};
            arguments.insert(arguments.end(), command.begin(), command.end());
            CliProcess tool(arguments, {{"ATTENDANCE_MODELS", noModels.string()}});
            // Waits for a text no command prints: until the tool ends or the limit passes.
            tool.waitForError("\x01", commandLimit);
            const bool hung = std::chrono::steady_clock::now() - started >= commandLimit;
            if (hung) tool.signal(SIGKILL);
            const CliResult r = tool.finish();
            ++figures.runs;
            const std::string context = "[" + what + "] " + command[0] + " -> status " +
                                        std::to_string(r.status) + "\n" + r.err;
            if (hung) {
                ++figures.hangs;
                ADD_FAILURE() << "hang: " << context;
            } else if (r.status >= 128) {
                ++figures.crashes;
                ADD_FAILURE() << "crash: " << context;
            } else if (r.status == 0) {
                ++figures.succeeded;
            } else if ((r.status == 1 || r.status == 2) && r.err.starts_with("tallymere-cli: ")) {
                ++figures.cleanFailures;
            } else {
                ++figures.crashes;
                ADD_FAILURE() << "failure without a message: " << context;
            }
            if (const std::string internal = internalTextIn(r.out + r.err); !internal.empty()) {
                ++figures.internalTexts;
                ADD_FAILURE() << "\"" << internal << "\" shown: " << context << r.out;
            }
            // Every service folder with a record is listed, readable or with why it is not.
            if (command[0] == "services" && r.status == 0)
                for (const std::string& id : serviceRecords)
                    if (r.out.find(id) == std::string::npos) {
                        ++figures.servicesUnlisted;
                        ADD_FAILURE() << "service " << id << " not listed: " << context << r.out;
                    }
            // A member list that could be read still holds everyone, but for the member a
            // successful remove-member removed; one that was reported unusable is not counted.
            const Library::MemberList after = Library(root, false).readMembers();
            if (command[0] == "remove-photo" && r.status == 0 && before.readable() &&
                after.readable() &&
                photoRecords(before, "M0002") != photoRecords(after, "M0002") + 1) {
                ++figures.photosMiscounted;
                ADD_FAILURE() << "remove-photo did not remove exactly one record: " << context;
            }
            if (before.readable()) {
                std::set<std::string> ids;
                for (const Member& m : after.members)
                    ids.insert(m.id);
                for (const Member& m : before.members) {
                    const bool removed =
                        command[0] == "remove-member" && r.status == 0 && m.id == command[1];
                    const bool setAside = command[0] == "set-aside-members" && r.status == 0;
                    if (!removed && !setAside && !ids.count(m.id)) {
                        ++figures.membersLost;
                        ADD_FAILURE() << "member " << m.id << " lost: " << context;
                    }
                }
            }
        }
        addHalfMember(figures, what);
        if (snapshot(outside) != outsideBefore) {
            ++figures.touchedOutside;
            ADD_FAILURE() << "something outside the library changed: [" << what << "]";
        }
    }

    // Adds a member whose second photo cannot be read, as both programs do: it must fail and
    // leave neither the member nor a folder or file of theirs.
    void addHalfMember(Figures& figures, const std::string& what) {
        const fs::path unreadable = scratch / "folder.jpg";
        fs::create_directories(unreadable);
        std::set<std::string> foldersBefore;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root / "members", ec))
            foldersBefore.insert(entry.path().filename().string());
        try {
            OpenLibrary library(root);
            library.addMember("Half Added", {outside / "file.jpg", unreadable});
            ++figures.halfAdded;
            ADD_FAILURE() << "a member with an unreadable photo was added: [" << what << "]";
        } catch (const std::exception& error) {
            if (const std::string internal = internalTextIn(error.what()); !internal.empty()) {
                ++figures.internalTexts;
                ADD_FAILURE() << "\"" << internal << "\" shown: [" << what << "] " << error.what();
            }
        }
        for (const Member& m : Library(root, false).readMembers().members)
            if (m.name == "Half Added") {
                ++figures.halfAdded;
                ADD_FAILURE() << "half-added member listed: [" << what << "]";
            }
        for (const auto& entry : fs::directory_iterator(root / "members", ec))
            if (!foldersBefore.count(entry.path().filename().string())) {
                ++figures.halfAdded;
                ADD_FAILURE() << "half-added member's folder left: [" << what << "] "
                              << entry.path();
            }
    }

private:
    Member member(const std::string& id, const std::string& name, int photos) {
        Member m;
        m.id = id;
        m.name = name;
        m.created = std::chrono::sys_days{std::chrono::year(2026) / 3 / 8};
        fs::create_directories(root / "members" / id);
        for (int i = 0; i < photos; ++i) {
            Photo photo("p" + std::to_string(i) + ".jpg", m.created);
            photo.checked = photo.ok = i % 2 == 0;
            photo.checked = true;
            if (photo.ok) {
                photo.faceWidth = 120;
                photo.quality = 0.8f;
                photo.embedding = std::vector<float>(512, 0.0f);
                (*photo.embedding)[static_cast<std::size_t>(i)] = 1;
            } else {
                photo.reason = "No face found";
            }
            writeText(root / "members" / id / photo.id, "photo " + std::to_string(i));
            m.photos.push_back(photo);
        }
        writeText(root / "members" / id / "face.jpg", "face");
        return m;
    }

    void build() {
        Library library(root);
        library.saveMembers(
            {member("M0001", "Anne", 2), member("M0002", "Bob", 3), member("M0003", "Cleo", 1)});
        const Date date = std::chrono::sys_days{std::chrono::year(2026) / 3 / 8};
        Service done("20260308-093000-aaaa", "Sunday", date, date, {"/recordings/a.mp4"},
                     ProcessSettings::Mode::standard);
        done.status = ServiceStatus::done;
        done.progress = 1;
        done.message = "Finished";
        ServiceResults results;
        MemberResult anne;
        anne.memberID = "M0001";
        anne.present = true;
        anne.confidence = 0.9f;
        anne.firstSeen = 3;
        anne.lastSeen = 70;
        anne.sightings = 5;
        MemberResult bob;
        bob.memberID = "M0002";
        results.members = {anne, bob};
        results.visitors = {{"V0", "visitors/visitor_000.jpg", 12.0, 2}};
        results.framesAnalysed = 100;
        results.durationSeconds = 100;
        results.processingSeconds = 20;
        results.membersEnrolled = 3;
        results.model = "test";
        done.results = results;
        library.save(done);
        Service running("20260315-093000-bbbb", "Next Sunday", date, date, {"/recordings/b.mp4"},
                        ProcessSettings::Mode::quick);
        running.status = ServiceStatus::processing;
        running.progress = 0.3;
        library.save(running);
    }

    // Service folders (not links) holding something named service.json.
    std::vector<std::string> servicesWithRecords() {
        std::vector<std::string> ids;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root / "services", ec)) {
            const fs::path folder = entry.path();
            if (fs::is_directory(fs::symlink_status(folder, ec)) &&
                fs::exists(fs::symlink_status(folder / "service.json", ec)))
                ids.push_back(folder.filename().string());
        }
        return ids;
    }

    static std::size_t photoRecords(const Library::MemberList& list, const std::string& id) {
        std::size_t count = 0;
        for (const Member& m : list.members)
            if (m.id == id) count += m.photos.size();
        return count;
    }

    std::string firstService() {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root / "services", ec))
            return entry.path().filename().string();
        return "";
    }

    std::string photoOf(const std::string& id) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root / "members" / id, ec))
            if (entry.path().filename() != "face.jpg") return entry.path().filename().string();
        return "p0.jpg";
    }

    template <class T>
    const T& pick(const std::vector<T>& items) {
        return items[random() % items.size()];
    }

    // Every file and folder of the library, the library itself excluded.
    std::vector<fs::path> entries() {
        std::vector<fs::path> all;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            all.push_back(it->path());
        return all;
    }

    std::vector<fs::path> jsonFiles() {
        std::vector<fs::path> files;
        for (const fs::path& path : entries())
            if (path.extension() == ".json" && fs::is_regular_file(fs::symlink_status(path)))
                files.push_back(path);
        return files;
    }

    Json randomValue() {
        switch (random() % 12) {
        case 0:
            return nullptr;
        case 1:
            return true;
        case 2:
            return -1;
        case 3:
            return 1e308;
        case 4:
            return std::numeric_limits<std::int64_t>::min();
        case 5:
            return std::numeric_limits<std::uint64_t>::max();
        case 6:
            return 3.5e38;
        case 7:
            return "9999-12-31T23:59:59Z";
        case 8:
            return std::string(100000, 'x');
        case 9:
            return "\x1b[2J\n../../outside";
        case 10:
            return Json::array({1, "two", nullptr});
        default:
            return Json::object({{"unknown", 1}});
        }
    }

    // Replaces one value anywhere in the document, or adds a key, or duplicates an entry.
    void mutate(Json& json) {
        std::vector<Json*> nodes;
        std::vector<Json*> stack{&json};
        while (!stack.empty()) {
            Json* node = stack.back();
            stack.pop_back();
            nodes.push_back(node);
            if (node->is_object())
                for (auto& [key, value] : node->items())
                    stack.push_back(&value);
            else if (node->is_array())
                for (auto& value : *node)
                    stack.push_back(&value);
        }
        Json* node = pick(nodes);
        if (node->is_array() && !node->empty() && random() % 2) {
            node->push_back((*node)[0]); // a duplicate: the same id twice
        } else if (node->is_object() && random() % 2) {
            (*node)["extra" + std::to_string(random() % 100)] = randomValue();
        } else {
            *node = randomValue();
        }
    }

    void replaceWith(const fs::path& path, int kind) {
        std::error_code ec;
        fs::remove_all(path, ec);
        switch (kind) {
        case 0:
            ::mkfifo(path.c_str(), 0644);
            break;
        case 1:
            fs::create_symlink("/dev/zero", path, ec);
            break;
        case 2:
            fs::create_symlink(outside / "file.jpg", path, ec);
            break;
        case 3:
            fs::create_directory_symlink(outside / "folder", path, ec);
            break;
        case 4:
            fs::create_symlink(outside / "nothing-yet", path, ec);
            break;
        default:
            fs::create_directory(path, ec);
            break;
        }
    }

    std::string damageOnce() {
        const auto files = jsonFiles();
        switch (random() % 9) {
        case 0: { // cut short
            if (files.empty()) break;
            const fs::path file = pick(files);
            const std::string text = readText(file);
            writeText(file, text.substr(0, random() % (text.size() + 1)));
            return "truncated " + fs::relative(file, root).string();
        }
        case 1:
        case 2: { // a value of the wrong type or size, a duplicate, an unknown key
            if (files.empty()) break;
            const fs::path file = pick(files);
            try {
                Json json = Json::parse(readText(file));
                mutate(json);
                writeText(file, json.dump(1));
            } catch (const std::exception&) {
            }
            return "mutated " + fs::relative(file, root).string();
        }
        case 3: { // garbled bytes
            if (files.empty()) break;
            const fs::path file = pick(files);
            std::string text = readText(file);
            for (int i = 0; i < 4 && !text.empty(); ++i)
                text[random() % text.size()] = static_cast<char>(random() % 256);
            writeText(file, text);
            return "garbled " + fs::relative(file, root).string();
        }
        case 4: { // a special file, a link or a folder in place of a file or folder
            std::vector<fs::path> targets = entries();
            targets.push_back(root / LibraryLock::fileName);
            targets.push_back(root / "members.json");
            const fs::path target = pick(targets);
            const int kind = static_cast<int>(random() % 6);
            replaceWith(target, kind);
            return "replaced " + fs::relative(target, root).string() + " by kind " +
                   std::to_string(kind);
        }
        case 5: { // a file far larger than any record
            const fs::path file = files.empty() ? root / "members.json" : pick(files);
            { std::ofstream out(file, std::ios::app); }
            std::error_code ec;
            fs::resize_file(file, Library::maxRecordFileBytes + 1 + random() % 1000, ec);
            return "enlarged " + fs::relative(file, root).string();
        }
        case 6: { // a photo id given twice, as a hand edit does
            try {
                Json json = Json::parse(readText(root / "members.json"));
                for (Json& m : json)
                    if (m.value("id", "") == "M0002" && !m["photos"].empty())
                        m["photos"].push_back(m["photos"][0]);
                writeText(root / "members.json", json.dump(1));
            } catch (const std::exception&) {
            }
            return "photo id twice in M0002";
        }
        case 7: { // a NUL byte, or the same text in UTF-16
            const std::string text = readText(root / "members.json");
            std::string damaged;
            if (random() % 2) {
                damaged = text;
                if (!damaged.empty()) damaged[random() % damaged.size()] = '\0';
            } else {
                damaged = "\xff\xfe";
                for (const char c : text) {
                    damaged += c;
                    damaged += '\0';
                }
            }
            writeText(root / "members.json", damaged);
            return "members.json with NUL bytes";
        }
        default: { // many members
            std::vector<Member> many;
            for (int i = 1; i <= 3000; ++i) {
                Member m;
                m.id = "M" + std::to_string(i);
                m.name = std::string(random() % 50, 'a');
                many.push_back(m);
            }
            try {
                Library(root).saveMembers(many);
            } catch (const std::exception&) {
            }
            return "3000 members";
        }
        }
        return "nothing";
    }

    std::mt19937 random;
    TempDir dir;

public:
    fs::path root = dir / "library";
    fs::path outside = dir / "outside";
    fs::path scratch = dir / "scratch";
    fs::path noModels = dir / "no-models";
};

int fromEnvironment(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

} // namespace

TEST(CliHostileLibrary, DamagedLibrariesNeitherCrashNorHangNorReachOutsideNorLoseMembers) {
    const int cases = fromEnvironment("TALLYMERE_HOSTILE_CASES", 4);
    const auto firstSeed = static_cast<std::uint32_t>(fromEnvironment("TALLYMERE_HOSTILE_SEED", 1));
    Figures figures;
    for (int i = 0; i < cases; ++i) {
        const std::uint32_t seed = firstSeed + static_cast<std::uint32_t>(i);
        HostileLibrary library(seed);
        const std::string what = "seed " + std::to_string(seed) + ": " + library.damage();
        library.run(figures, what);
        ++figures.cases;
    }
    std::cout << "damaged libraries " << figures.cases << ", command runs " << figures.runs
              << ", succeeded " << figures.succeeded << ", clean failures " << figures.cleanFailures
              << ", crashes " << figures.crashes << ", hangs " << figures.hangs
              << ", files touched outside " << figures.touchedOutside << ", members lost "
              << figures.membersLost << ", internal texts " << figures.internalTexts
              << ", services unlisted " << figures.servicesUnlisted << ", photo records miscounted "
              << figures.photosMiscounted << ", members half added " << figures.halfAdded << "\n";
}
