#pragma once

#include <QObject>
#include <QThreadPool>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tallymere {

class FaceEngine;

// Loads the face models once, in the background, and holds the engine or why it could not load.
// Lives on the GUI thread; `changed` says when loading has ended either way.
class EngineLoader : public QObject {
    Q_OBJECT

public:
    // modelsDirectory: the face models folder; none searches the default places. The loading
    // runs on `pool`, which must outlive the loader's work (the model waits for its pool).
    EngineLoader(std::optional<std::filesystem::path> modelsDirectory, QThreadPool& pool,
                 QObject* parent = nullptr);

    // Starts loading; later calls do nothing.
    void start();
    bool started() const { return started_; }
    std::shared_ptr<FaceEngine> engine() const { return engine_; }
    const std::optional<std::string>& error() const { return error_; }
    bool settled() const { return engine_ || error_; }

    // Runs `next` on the GUI thread once the engine has loaded or failed to, looking every
    // `waitMilliseconds`.
    void whenSettled(std::function<void()> next);

    static constexpr int waitMilliseconds = 200;

Q_SIGNALS:
    void changed();

private:
    void waitFor(std::function<void()> next);

    std::optional<std::filesystem::path> directory_;
    QThreadPool& pool_;
    bool started_ = false;
    std::shared_ptr<FaceEngine> engine_;
    std::optional<std::string> error_;
};

} // namespace tallymere
