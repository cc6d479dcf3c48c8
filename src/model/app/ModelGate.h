#pragma once
// How callbacks from other threads reach the model: they post work to the main thread while
// the model lives, and nothing once it is gone. The model closes the gate first thing in its
// destructor; work already posted is then dropped by Qt together with the object.
#include "model/app/AppModel.h"

#include <QMetaObject>
#include <mutex>
#include <utility>

namespace lc {

class AppModel::Gate {
public:
    explicit Gate(AppModel* model) : model_(model) {}

    void close() {
        std::lock_guard lock(mutex_);
        model_ = nullptr;
    }

    template <class F> void post(F work) {
        std::lock_guard lock(mutex_);
        if (!model_) return;
        AppModel* model = model_;
        QMetaObject::invokeMethod(
            model, [model, work = std::move(work)]() mutable { work(*model); }, Qt::QueuedConnection);
    }

private:
    std::mutex mutex_;
    AppModel* model_;
};

} // namespace lc
