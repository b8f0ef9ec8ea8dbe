#include "Access.h"

#include <chrono>
#include <iostream>
#include <thread>

namespace tallymere::cli {

namespace fs = std::filesystem;

CommandLibrary::CommandLibrary(const fs::path& root, Use use) : OpenLibrary(root, use) {
    setOnWait(
        [] { std::cerr << "Waiting for another program to finish changing the member list\n"; });
}

const std::vector<Member>& usableMembers(const OpenLibrary& library) {
    if (!library.membersProblem().empty())
        throw LibraryError(library.membersProblem(), LibraryError::Kind::damagedMembers);
    return library.members();
}

void showInterrupted(OpenLibrary& library) {
    if (!LibraryLock::isHeld(library.library().root(), LibraryLock::Range::library))
        library.repairInterrupted(false);
}

void repairIfFree(OpenLibrary& library) {
    if (auto lock = LibraryLock::tryAcquire(library.library().root(), LibraryLock::Range::library,
                                            LibraryLock::Kind::exclusive)) {
        library.reloadServices();
        library.repairInterrupted();
    }
}

std::unique_ptr<FaceEngine> loadEngine() {
    try {
        return std::make_unique<FaceEngine>();
    } catch (const EngineError& error) {
        // Its text lists the folders searched and the command that fills them.
        throw CommandError(error.what());
    } catch (const std::exception& error) {
        throw CommandError("Couldn't load the face models from " +
                           FaceEngine::defaultModelsDirectory().string() + ": " + error.what() +
                           "\n" + modelsHint);
    }
}

std::string withHint(const LibraryError& error) {
    std::string text = error.what();
    switch (error.kind()) {
    case LibraryError::Kind::general:
        break;
    case LibraryError::Kind::notALibrary:
        text += " Give the library's folder with --library or TALLYMERE_LIBRARY.";
        break;
    case LibraryError::Kind::damagedMembers:
        text += "\nIt is left as it is: mend it or restore it from a backup. "
                "\"tallymere-cli set-aside-members\" moves it aside and starts an empty member "
                "list.";
        break;
    case LibraryError::Kind::unknownMember:
        text += " \"tallymere-cli members\" lists the members and their IDs.";
        break;
    case LibraryError::Kind::unknownPhoto:
        text += " \"tallymere-cli members ID\" lists a member's photos.";
        break;
    case LibraryError::Kind::unknownService:
        text += " \"tallymere-cli services\" lists the services and their IDs.";
        break;
    case LibraryError::Kind::unreadableService:
        text += "\nMend its service.json or move its folder out of the services folder; "
                "\"tallymere-cli services\" lists the others.";
        break;
    case LibraryError::Kind::unknownVisitor:
        text += " \"tallymere-cli show SERVICE\" lists its visitors.";
        break;
    case LibraryError::Kind::noServices:
        text += " Take attendance with \"tallymere-cli process FILE\".";
        break;
    }
    return text;
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
