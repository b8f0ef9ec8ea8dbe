#include "EngineLoader.h"

#include "engine/BGRAImage.h"
#include "engine/FaceEngine.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace tallymere {

EngineLoader::EngineLoader(std::optional<std::filesystem::path> modelsDirectory, QThreadPool& pool,
                           QObject* parent)
    : QObject(parent), directory_(std::move(modelsDirectory)), pool_(pool) {}

void EngineLoader::start() {
    if (started_) return;
    started_ = true;
    QPointer<EngineLoader> self(this);
    auto directory = directory_;
    (void)QtConcurrent::run(&pool_, [self, directory] {
        std::shared_ptr<FaceEngine> engine;
        std::string error;
        try {
            engine = std::make_shared<FaceEngine>(directory);
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        if (engine) {
            // The first detection sets up the detector; done now, the first run starts sooner.
            try {
                engine->detect(BGRAImage(64, 64), 1280, 0.5f, 1);
            } catch (const std::exception&) {
            }
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, engine, error] {
                if (!self) return;
                if (engine)
                    self->engine_ = engine;
                else
                    self->error_ = error;
                Q_EMIT self->changed();
            },
            Qt::QueuedConnection);
    });
}

void EngineLoader::whenSettled(std::function<void()> next) {
    QTimer::singleShot(0, this,
                       [this, next = std::move(next)]() mutable { waitFor(std::move(next)); });
}

void EngineLoader::waitFor(std::function<void()> next) {
    if (settled()) {
        next();
        return;
    }
    QTimer::singleShot(waitMilliseconds, this,
                       [this, next = std::move(next)]() mutable { waitFor(std::move(next)); });
}

} // namespace tallymere
