#include "ServiceRun.h"

#include "Errors.h"
#include "Format.h"
#include "ProgressDisplay.h"
#include "Table.h"
#include "library/Library.h"
#include "recognition/RecognizerScales.h"
#include "runs/ProcessError.h"
#include "runs/ServiceProcessor.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace tallymere::cli {

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t cancelRequested = 0;

extern "C" void requestCancel(int) {
    cancelRequested = 1;
    static const char note[] = "\nCancelling; press Ctrl-C again to stop at once\n";
    // write() is safe in a signal handler; its result cannot be acted on here.
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, note, sizeof note - 1);
}

// Ctrl-C and termination requests set the cancel flag once; the handler then resets itself, so a
// second Ctrl-C ends the process at once (the next start marks the service interrupted).
void catchCancelSignals() {
    struct sigaction action {};
    action.sa_handler = requestCancel;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string joined(const std::set<std::string, std::less<>>& words) {
    std::string text;
    for (const auto& word : words)
        text += (text.empty() ? "" : ", ") + word;
    return text;
}

// Applies one status change to the stored service, as the application's model does after every
// event. A failed save is remembered, not fatal: the run goes on and the end reports it.
class StoredService {
public:
    StoredService(OpenLibrary& library, Service service)
        : library(library), current(std::move(service)) {}

    // The run goes on when a save fails; the last failure is reported once it has ended.
    template <typename Change>
    void update(Change&& change) {
        change(current);
        try {
            library.updateService(current.id, [&](Service& s) { s = current; });
            saveError.clear();
        } catch (const LibraryError& error) {
            saveError = error.what();
        }
    }

    const Service& service() const { return current; }
    const std::string& lastSaveError() const { return saveError; }

private:
    OpenLibrary& library;
    Service current;
    std::string saveError;
};

} // namespace

void printSummary(const Service& service, const std::vector<Member>& members) {
    const ServiceResults& results = *service.results;
    std::cout << "Service " << service.id << " \"" << printable(service.label) << "\": done\n"
              << "Present " << results.present() << " · To double-check " << results.needsReview()
              << " · Absent " << results.absent() << " · Visitors (estimate) "
              << results.visitors.size() << "\n";
    Table present({{"PRESENT"},
                   {"CONFIDENCE", true},
                   {"FIRST SEEN"},
                   {"LAST SEEN"},
                   {"SIGHTINGS", true},
                   {"REVIEW"}});
    for (const MemberResult& result : results.members) {
        if (!result.present) continue;
        present.add({memberName(members, result.memberID), percent(result.confidence),
                     formatClock(result.firstSeen), formatClock(result.lastSeen),
                     std::to_string(result.sightings), result.reviewReason});
    }
    if (!present.empty()) {
        std::cout << "\n";
        present.print(std::cout, "  ");
    }
    std::cout << "\n"
              << results.framesAnalysed << " frames analysed in "
              << formatDuration(results.processingSeconds) << "\n"
              << "The whole register: tallymere-cli show " << service.id << "\n"
              << "As CSV:             tallymere-cli export " << service.id << " -o "
              << defaultExportName(service) << "\n";
}

std::string checkRunRequest(const RunRequest& request) {
    if (request.files.empty()) throw UsageError("process needs a recording or photos");
    bool allStills = true;
    for (const fs::path& file : request.files) {
        std::error_code ec;
        if (!fs::exists(file, ec))
            throw CommandError("File not found: " + file.string() +
                               ". Check the path and try again.");
        if (!fs::is_regular_file(file, ec))
            throw CommandError(file.string() + " is not a file. Give a recording or photos.");
        const std::string extension = lowerExtension(file);
        const bool still = Library::imageExtensions().count(extension) != 0;
        if (!still && !Library::videoExtensions().count(extension))
            throw CommandError(file.string() + " is not a recording or a photo. Recordings: " +
                               joined(Library::videoExtensions()) +
                               "; photos: " + joined(Library::imageExtensions()) + ".");
        allStills = allStills && still;
    }
    if (request.files.size() > 1 && !allStills)
        throw UsageError("give one recording, or any number of photos (a recording is processed "
                         "on its own)");
    if (!request.label.empty()) return request.label;
    return request.files.front().stem().string();
}

int processService(const fs::path& root, const RunRequest& request) {
    const std::string label = checkRunRequest(request);
    std::vector<std::string> paths;
    for (const fs::path& file : request.files)
        paths.push_back(fs::absolute(file).lexically_normal().string());

    cancelRequested = 0;
    catchCancelSignals();
    CommandLibrary workspace(root);
    auto lock = LibraryLock::acquire(
        workspace.library().root(), LibraryLock::Range::processing, LibraryLock::Kind::exclusive,
        [] {
            std::cerr << "Another run is processing a service in this library; waiting for it "
                         "to finish (Ctrl-C to give up)\n";
        },
        [] { return cancelRequested != 0; });
    if (!lock) {
        std::cerr << "Cancelled; no service was created.\n";
        return exitCancelled;
    }
    // Holding the processing lock, no other run is live, and holding write access, the
    // application is not running: a service still queued or processing was interrupted.
    const LibraryLock access = writeAccess(workspace.library().root());
    workspace.reloadServices();
    workspace.repairInterrupted();

    // As the new-service sheet: nothing to do until someone can be recognised.
    if (workspace.recognisableCount() == 0)
        throw CommandError(std::string(ProcessError::noMembers().what()) +
                           " Use \"tallymere-cli add-member NAME PHOTO...\".");
    const std::unique_ptr<FaceEngine> loaded = loadEngine();
    FaceEngine& engine = *loaded;
    if (cancelRequested) {
        std::cerr << "Cancelled; no service was created.\n";
        return exitCancelled;
    }

    const Date now = std::chrono::system_clock::now();
    Library& library = workspace.library();
    Service created(library.newServiceID(), label, now, now, paths, request.mode);
    workspace.addService(created);
    StoredService stored(workspace, created);
    stored.update(markQueued);
    std::cerr << "Service " << created.id << " \"" << printable(label) << "\" ("
              << request.mode.title()
              << "): " << counted(static_cast<long long>(paths.size()), "file", "files") << "\n";
    // Scaled before the line names the precision, which the run then keeps.
    measureRecognizerScales(engine, library, workspace.members());
    std::cerr << "Recogniser: " << engine.recognizerPrecision() << "\n";

    ProgressDisplay display;
    stored.update(markProcessing);
    display.show(stored.service().progress, stored.service().message);

    const std::vector<Member> members = usableMembers(workspace);
    auto onProgress = [&](const Progress& report) {
        stored.update([&](Service& s) { markProgress(s, report); });
        display.show(stored.service().progress, stored.service().message);
    };
    auto isCancelled = [] { return cancelRequested != 0; };

    int status = exitOk;
    std::string failure;
    try {
        ServiceProcessor processor(engine, library);
        ServiceResults results =
            processor.run(stored.service(), members, ProcessSettings::preset(request.mode),
                          onProgress, isCancelled);
        stored.update([&](Service& s) { markFinished(s, std::move(results)); });
    } catch (const ProcessError& error) {
        if (error.kind() == ProcessError::Kind::cancelled) {
            stored.update(markCancelled);
            status = exitCancelled;
        } else {
            failure = error.what();
        }
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!failure.empty()) {
        stored.update([&](Service& s) { markFailed(s, failure); });
        status = exitFailed;
    }
    display.finish();

    const Service& service = stored.service();
    if (!stored.lastSaveError().empty())
        throw CommandError(stored.lastSaveError() + " (" + statusText(service) + ")");
    if (status == exitCancelled) {
        std::cerr << "Cancelled. Service " << service.id << " is stored as cancelled.\n";
    } else if (status == exitFailed) {
        std::cerr << "tallymere-cli: " << printable(service.message, true) << "\n"
                  << "Service " << service.id << " is stored as failed.\n";
    } else {
        printSummary(service, usableMembers(workspace));
    }
    return status;
}

} // namespace tallymere::cli
